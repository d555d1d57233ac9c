//! C ABI over Zenoh for the korvantyr client, in zenoh-c's vocabulary: opaque boxed handles,
//! closures made of a context, a call and a drop, and result codes with zenoh-c's values. Every
//! exported function catches panics, returns a result code and writes its outputs only on
//! success. `include/kvn_zbridge.h` declares exactly the functions exported here.

#![allow(clippy::missing_safety_doc)]

pub mod bytes;
pub mod closure;
pub mod keyexpr;
pub mod locality;
#[allow(non_camel_case_types)]
pub mod mcap_writer;
pub mod query;
pub mod result;
pub mod router;
mod runtime;
pub mod serialization;
pub mod session;
pub mod subscriber;

pub use bytes::*;
pub use closure::*;
pub use keyexpr::*;
pub use locality::*;
pub use mcap_writer::*;
pub use query::*;
pub use result::*;
pub use router::*;
pub use serialization::*;
pub use session::*;
pub use subscriber::*;
