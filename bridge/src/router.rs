//! Sessions opened from a configuration that a command spells out (a relay's router-mode sessions,
//! for one), and the links a session has open, so that a command can tell whom it is connected
//! to. The client's own sessions keep `zb_open` and Zenoh's default configuration.

use std::{
    ffi::{c_char, c_void, CStr, CString},
    sync::{Arc, Mutex},
    time::Duration,
};

use zenoh::{config::WhatAmI, Config, Wait};

use crate::{result::*, session::zb_session_t};

/// What is at the far end of a link, with zenoh-c's values.
#[allow(non_camel_case_types)]
pub type zb_whatami_t = u8;

pub const ZB_WHATAMI_ROUTER: zb_whatami_t = 1;
pub const ZB_WHATAMI_PEER: zb_whatami_t = 2;
pub const ZB_WHATAMI_CLIENT: zb_whatami_t = 4;

/// Called once per open link, on the caller's thread, before `zb_session_links` returns; the
/// strings are borrowed for the duration of the call.
#[allow(non_camel_case_types)]
pub type zb_link_fn_t = unsafe extern "C" fn(
    context: *mut c_void,
    zid: *const c_char,
    whatami: zb_whatami_t,
    src: *const c_char,
    dst: *const c_char,
);

/// Called once per node that answered scouting, on the caller's thread, before `zb_scout` returns;
/// the string is borrowed for the duration of the call.
#[allow(non_camel_case_types)]
pub type zb_hello_fn_t =
    unsafe extern "C" fn(context: *mut c_void, zid: *const c_char, whatami: zb_whatami_t);

/// Copies `message` into the caller's buffer, cut to fit and zero-terminated; nothing without a
/// buffer.
unsafe fn write_message(buffer: *mut c_char, size: usize, message: &str) {
    if buffer.is_null() || size == 0 {
        return;
    }
    let bytes = message.as_bytes();
    let len = bytes.len().min(size - 1);
    // SAFETY: the caller gives `size` writable bytes at a non-null `buffer`.
    unsafe {
        std::ptr::copy_nonoverlapping(bytes.as_ptr(), buffer.cast::<u8>(), len);
        buffer.add(len).write(0);
    }
}

/// Zenoh's error texts can run over several lines; commands print them on one.
fn one_line(text: &str) -> String {
    text.split_whitespace().collect::<Vec<_>>().join(" ")
}

/// Opens a session from a JSON5 configuration; what it leaves out keeps Zenoh's default (no file
/// or environment variable is read). On failure `error` (if not null) receives Zenoh's reason,
/// zero-terminated and cut to `error_size` bytes: ZB_EPARSE for a configuration Zenoh rejects,
/// ZB_EGENERIC for a session that could not open (a listener that could not bind, for one).
#[no_mangle]
pub unsafe extern "C" fn zb_open_with_config(
    config: *const c_char,
    out: *mut *mut zb_session_t,
    error: *mut c_char,
    error_size: usize,
) -> zb_result_t {
    guard(|| {
        if out.is_null() || config.is_null() {
            return ZB_ENULL;
        }
        // SAFETY: the caller gives a zero-terminated string.
        let Ok(text) = unsafe { CStr::from_ptr(config) }.to_str() else {
            return ZB_EUTF8;
        };
        let config = match Config::from_json5(text) {
            Ok(config) => config,
            Err(e) => {
                unsafe { write_message(error, error_size, &one_line(&e.to_string())) };
                return ZB_EPARSE;
            }
        };
        match zenoh::open(config).wait() {
            Ok(session) => {
                unsafe { write_out(out, Box::into_raw(Box::new(session))) };
                ZB_OK
            }
            Err(e) => {
                unsafe { write_message(error, error_size, &one_line(&e.to_string())) };
                ZB_EGENERIC
            }
        }
    })
}

fn whatami_to_c(whatami: WhatAmI) -> zb_whatami_t {
    match whatami {
        WhatAmI::Router => ZB_WHATAMI_ROUTER,
        WhatAmI::Peer => ZB_WHATAMI_PEER,
        WhatAmI::Client => ZB_WHATAMI_CLIENT,
    }
}

/// Calls `visit` once for every unicast link the session has open now: the Zenoh id and kind of
/// the node at its far end and the link's two locators ("tcp/10.0.0.2:7447").
#[no_mangle]
pub unsafe extern "C" fn zb_session_links(
    session: *const zb_session_t,
    visit: Option<zb_link_fn_t>,
    context: *mut c_void,
) -> zb_result_t {
    guard(|| {
        let (Some(session), Some(visit)) = (unsafe { session.as_ref() }, visit) else {
            return ZB_ENULL;
        };
        let info = session.info();
        let kinds: Vec<_> = info
            .transports()
            .wait()
            .filter(|transport| !transport.is_multicast())
            .map(|transport| (*transport.zid(), transport.whatami()))
            .collect();
        for link in info.links().wait() {
            let Some(&(_, whatami)) = kinds.iter().find(|(zid, _)| zid == link.zid()) else {
                continue;
            };
            let (Ok(zid), Ok(src), Ok(dst)) = (
                CString::new(link.zid().to_string()),
                CString::new(link.src().to_string()),
                CString::new(link.dst().to_string()),
            ) else {
                continue;
            };
            // SAFETY: the caller's function, called with strings alive until it returns.
            unsafe {
                visit(
                    context,
                    zid.as_ptr(),
                    whatami_to_c(whatami),
                    src.as_ptr(),
                    dst.as_ptr(),
                )
            };
        }
        ZB_OK
    })
}

/// Scouts for routers and peers for `timeout_ms` milliseconds as a default-configured session
/// would (UDP multicast on the automatically chosen interfaces), then calls `visit` once for every
/// node that answered.
#[no_mangle]
pub unsafe extern "C" fn zb_scout(
    timeout_ms: u64,
    visit: Option<zb_hello_fn_t>,
    context: *mut c_void,
) -> zb_result_t {
    guard(|| {
        let Some(visit) = visit else {
            return ZB_ENULL;
        };
        let found: Arc<Mutex<Vec<(String, WhatAmI)>>> = Arc::default();
        let into = found.clone();
        let scout = zenoh::scout(WhatAmI::Router | WhatAmI::Peer, Config::default())
            .callback(move |hello| {
                let zid = hello.zid().to_string();
                if let Ok(mut found) = into.lock() {
                    if !found.iter().any(|(known, _)| *known == zid) {
                        found.push((zid, hello.whatami()));
                    }
                }
            })
            .wait();
        let Ok(scout) = scout else {
            return ZB_EGENERIC;
        };
        std::thread::sleep(Duration::from_millis(timeout_ms));
        scout.stop();
        let found = match found.lock() {
            Ok(found) => found.clone(),
            Err(_) => return ZB_EGENERIC,
        };
        for (zid, whatami) in found {
            let Ok(zid) = CString::new(zid) else {
                continue;
            };
            // SAFETY: the caller's function, called with a string alive until it returns.
            unsafe { visit(context, zid.as_ptr(), whatami_to_c(whatami)) };
        }
        ZB_OK
    })
}
