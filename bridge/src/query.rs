//! Queries (get) with a reply closure. The closure's drop is the query's completion: Zenoh drops
//! it exactly once, when it is done with the query (final answers in, time-out passed, session
//! closed) or at once when the query cannot be issued.

use std::{ffi::CStr, os::raw::c_char, time::Duration};

use zenoh::{
    bytes::Encoding,
    qos::{CongestionControl, Priority},
    query::{ConsolidationMode, QueryConsolidation, QueryTarget, Reply, ReplyKeyExpr},
    Wait,
};

use crate::{
    bytes::{take_bytes, zb_bytes_t},
    closure::{take_closure, zb_closure_reply_t},
    keyexpr::zb_keyexpr_t,
    locality::{locality_from_c, zb_locality_t, ZB_LOCALITY_ANY},
    result::*,
    session::zb_session_t,
};

#[allow(non_camel_case_types)]
pub type zb_query_target_t = i32;
pub const ZB_QUERY_TARGET_BEST_MATCHING: zb_query_target_t = 0;
pub const ZB_QUERY_TARGET_ALL: zb_query_target_t = 1;
pub const ZB_QUERY_TARGET_ALL_COMPLETE: zb_query_target_t = 2;

#[allow(non_camel_case_types)]
pub type zb_consolidation_mode_t = i32;
pub const ZB_CONSOLIDATION_MODE_AUTO: zb_consolidation_mode_t = -1;
pub const ZB_CONSOLIDATION_MODE_NONE: zb_consolidation_mode_t = 0;
pub const ZB_CONSOLIDATION_MODE_MONOTONIC: zb_consolidation_mode_t = 1;
pub const ZB_CONSOLIDATION_MODE_LATEST: zb_consolidation_mode_t = 2;

#[allow(non_camel_case_types)]
pub type zb_priority_t = i32;
pub const ZB_PRIORITY_REAL_TIME: zb_priority_t = 1;
pub const ZB_PRIORITY_DATA: zb_priority_t = 5;
pub const ZB_PRIORITY_BACKGROUND: zb_priority_t = 7;

#[allow(non_camel_case_types)]
pub type zb_congestion_control_t = i32;
pub const ZB_CONGESTION_CONTROL_BLOCK: zb_congestion_control_t = 0;
pub const ZB_CONGESTION_CONTROL_DROP: zb_congestion_control_t = 1;

#[allow(non_camel_case_types)]
pub type zb_reply_keyexpr_t = i32;
pub const ZB_REPLY_KEYEXPR_ANY: zb_reply_keyexpr_t = 0;
pub const ZB_REPLY_KEYEXPR_MATCHING_QUERY: zb_reply_keyexpr_t = 1;

#[allow(non_camel_case_types)]
pub type zb_encoding_id_t = i32;
pub const ZB_ENCODING_ZENOH_BYTES: zb_encoding_id_t = 0;
pub const ZB_ENCODING_ZENOH_STRING: zb_encoding_id_t = 1;
pub const ZB_ENCODING_ZENOH_SERIALIZED: zb_encoding_id_t = 2;

/// Options of `zb_get`, named as zenoh-c's get options.
#[repr(C)]
#[allow(non_camel_case_types)]
pub struct zb_get_options_t {
    pub target: zb_query_target_t,
    pub consolidation: zb_consolidation_mode_t,
    /// Owned payload, taken over by `zb_get` (the field is nulled); null for none.
    pub payload: *mut zb_bytes_t,
    /// Encoding of the payload.
    pub encoding: zb_encoding_id_t,
    pub congestion_control: zb_congestion_control_t,
    pub priority: zb_priority_t,
    pub is_express: bool,
    pub allowed_destination: zb_locality_t,
    pub accept_replies: zb_reply_keyexpr_t,
    /// Query time-out in ms; 0 means the session's configured default.
    pub timeout_ms: u64,
}

/// Fills `options` with the defaults: best matching, automatic consolidation, no payload,
/// zenoh/bytes encoding, block, data priority, not express, any destination, replies matching
/// the query, the session's default time-out.
#[no_mangle]
pub unsafe extern "C" fn zb_get_options_default(options: *mut zb_get_options_t) -> zb_result_t {
    guard(|| {
        if options.is_null() {
            return ZB_ENULL;
        }
        let defaults = zb_get_options_t {
            target: ZB_QUERY_TARGET_BEST_MATCHING,
            consolidation: ZB_CONSOLIDATION_MODE_AUTO,
            payload: std::ptr::null_mut(),
            encoding: ZB_ENCODING_ZENOH_BYTES,
            congestion_control: ZB_CONGESTION_CONTROL_BLOCK,
            priority: ZB_PRIORITY_DATA,
            is_express: false,
            allowed_destination: ZB_LOCALITY_ANY,
            accept_replies: ZB_REPLY_KEYEXPR_MATCHING_QUERY,
            timeout_ms: 0,
        };
        unsafe { write_out(options, defaults) };
        ZB_OK
    })
}

fn target_from_c(value: zb_query_target_t) -> Option<QueryTarget> {
    match value {
        ZB_QUERY_TARGET_BEST_MATCHING => Some(QueryTarget::BestMatching),
        ZB_QUERY_TARGET_ALL => Some(QueryTarget::All),
        ZB_QUERY_TARGET_ALL_COMPLETE => Some(QueryTarget::AllComplete),
        _ => None,
    }
}

fn consolidation_from_c(value: zb_consolidation_mode_t) -> Option<QueryConsolidation> {
    let mode = match value {
        ZB_CONSOLIDATION_MODE_AUTO => ConsolidationMode::Auto,
        ZB_CONSOLIDATION_MODE_NONE => ConsolidationMode::None,
        ZB_CONSOLIDATION_MODE_MONOTONIC => ConsolidationMode::Monotonic,
        ZB_CONSOLIDATION_MODE_LATEST => ConsolidationMode::Latest,
        _ => return None,
    };
    Some(mode.into())
}

fn priority_from_c(value: zb_priority_t) -> Option<Priority> {
    u8::try_from(value)
        .ok()
        .and_then(|v| Priority::try_from(v).ok())
}

fn congestion_from_c(value: zb_congestion_control_t) -> Option<CongestionControl> {
    match value {
        ZB_CONGESTION_CONTROL_BLOCK => Some(CongestionControl::Block),
        ZB_CONGESTION_CONTROL_DROP => Some(CongestionControl::Drop),
        _ => None,
    }
}

fn accept_from_c(value: zb_reply_keyexpr_t) -> Option<ReplyKeyExpr> {
    match value {
        ZB_REPLY_KEYEXPR_ANY => Some(ReplyKeyExpr::Any),
        ZB_REPLY_KEYEXPR_MATCHING_QUERY => Some(ReplyKeyExpr::MatchingQuery),
        _ => None,
    }
}

fn encoding_from_c(value: zb_encoding_id_t) -> Option<Encoding> {
    match value {
        ZB_ENCODING_ZENOH_BYTES => Some(Encoding::ZENOH_BYTES),
        ZB_ENCODING_ZENOH_STRING => Some(Encoding::ZENOH_STRING),
        ZB_ENCODING_ZENOH_SERIALIZED => Some(Encoding::ZENOH_SERIALIZED),
        _ => None,
    }
}

/// Issues a query on `key_expr` with `parameters` (zero-terminated, null for none).
///
/// The reply closure is called once per reply on Zenoh's threads, with `is_ok` false for an error
/// reply (a time-out is reported by Zenoh as one such error reply); the payload is borrowed for
/// the call. The closure and the options' payload are taken over in every case; when this
/// returns an error, the closure's drop has already run, exactly once.
#[no_mangle]
pub unsafe extern "C" fn zb_get(
    session: *const zb_session_t,
    key_expr: *const zb_keyexpr_t,
    parameters: *const c_char,
    callback: *mut zb_closure_reply_t,
    options: *mut zb_get_options_t,
) -> zb_result_t {
    guard(|| {
        let Some(closure) = (unsafe { take_closure(callback) }) else {
            return ZB_ENULL;
        };
        // SAFETY: a non-null options pointer is readable and writable.
        let mut options = unsafe { options.as_mut() };
        let payload = options
            .as_deref_mut()
            .and_then(|options| unsafe { take_bytes(&mut options.payload) });
        let (Some(session), Some(key_expr)) =
            (unsafe { session.as_ref() }, unsafe { key_expr.as_ref() })
        else {
            return ZB_ENULL;
        };
        let parameters = if parameters.is_null() {
            ""
        } else {
            // SAFETY: a non-null parameter string is zero-terminated.
            match unsafe { CStr::from_ptr(parameters) }.to_str() {
                Ok(text) => text,
                Err(_) => return ZB_EUTF8,
            }
        };

        let mut builder =
            session
                .get((key_expr.clone(), parameters))
                .callback(move |reply: Reply| match reply.result() {
                    Ok(sample) => closure.call_with(true, sample.payload()),
                    Err(error) => closure.call_with(false, error.payload()),
                });
        if let Some(options) = options {
            let (
                Some(target),
                Some(consolidation),
                Some(encoding),
                Some(congestion),
                Some(priority),
                Some(destination),
                Some(accept),
            ) = (
                target_from_c(options.target),
                consolidation_from_c(options.consolidation),
                encoding_from_c(options.encoding),
                congestion_from_c(options.congestion_control),
                priority_from_c(options.priority),
                locality_from_c(options.allowed_destination),
                accept_from_c(options.accept_replies),
            )
            else {
                return ZB_EINVAL;
            };
            builder = builder
                .target(target)
                .consolidation(consolidation)
                .congestion_control(congestion)
                .priority(priority)
                .express(options.is_express)
                .allowed_destination(destination)
                .accept_replies(accept);
            if options.timeout_ms != 0 {
                builder = builder.timeout(Duration::from_millis(options.timeout_ms));
            }
            if let Some(payload) = payload {
                builder = builder.payload(payload).encoding(encoding);
            }
        } else if let Some(payload) = payload {
            builder = builder.payload(payload);
        }
        match builder.wait() {
            Ok(()) => ZB_OK,
            Err(_) => ZB_EGENERIC,
        }
    })
}
