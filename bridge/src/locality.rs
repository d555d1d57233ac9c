//! Locality, shared by subscriber origins and query destinations (zenoh-c values).

use zenoh::sample::Locality;

#[allow(non_camel_case_types)]
pub type zb_locality_t = i32;

pub const ZB_LOCALITY_ANY: zb_locality_t = 0;
pub const ZB_LOCALITY_SESSION_LOCAL: zb_locality_t = 1;
pub const ZB_LOCALITY_REMOTE: zb_locality_t = 2;

pub(crate) fn locality_from_c(value: zb_locality_t) -> Option<Locality> {
    match value {
        ZB_LOCALITY_ANY => Some(Locality::Any),
        ZB_LOCALITY_SESSION_LOCAL => Some(Locality::SessionLocal),
        ZB_LOCALITY_REMOTE => Some(Locality::Remote),
        _ => None,
    }
}
