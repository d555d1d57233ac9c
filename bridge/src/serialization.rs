//! Zenoh's payload serializer and deserializer (zenoh-ext's format: little-endian numbers, bool as
//! one byte, LEB128 lengths). Encoding and decoding go through `ZSerializer`, `ZDeserializer` and
//! `VarInt<usize>` so the bytes are zenoh-ext's by construction.
//!
//! The deserializer also keeps a contiguous view of the payload and its read position. It uses
//! them only to check, before asking `ZDeserializer`, that a read cannot run past the end. That
//! way a failed read has a known effect on the position, `bytes_left` stays exact, and a string
//! length taken from the wire is never used to allocate before it has been checked against the
//! bytes that are actually there.

use std::{borrow::Cow, os::raw::c_char};

use zenoh::bytes::ZBytes;
use zenoh_ext::{Deserialize, VarInt, ZDeserializer, ZSerializer};

use crate::{bytes::zb_bytes_t, result::*};

#[allow(non_camel_case_types)]
pub struct zb_serializer_t(ZSerializer);

#[allow(non_camel_case_types)]
pub struct zb_deserializer_t {
    reader: ZDeserializer<'static>,
    view: Cow<'static, [u8]>,
    position: usize,
    // Holds the last string read; `zb_deserializer_deserialize_string` hands out a view into it.
    string: Vec<u8>,
}

// ---------------------------------------------------------------------------------------------
// Serializer

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_empty(out: *mut *mut zb_serializer_t) -> zb_result_t {
    guard(|| {
        if out.is_null() {
            return ZB_ENULL;
        }
        unsafe {
            write_out(
                out,
                Box::into_raw(Box::new(zb_serializer_t(ZSerializer::new()))),
            )
        };
        ZB_OK
    })
}

unsafe fn with_serializer(
    serializer: *mut zb_serializer_t,
    write: impl FnOnce(&mut ZSerializer),
) -> zb_result_t {
    guard(|| {
        // SAFETY: a non-null serializer pointer is a live handle used by one thread at a time.
        let Some(serializer) = (unsafe { serializer.as_mut() }) else {
            return ZB_ENULL;
        };
        write(&mut serializer.0);
        ZB_OK
    })
}

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_bool(
    s: *mut zb_serializer_t,
    value: bool,
) -> zb_result_t {
    unsafe { with_serializer(s, |s| s.serialize(value)) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_int16(
    s: *mut zb_serializer_t,
    value: i16,
) -> zb_result_t {
    unsafe { with_serializer(s, |s| s.serialize(value)) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_uint16(
    s: *mut zb_serializer_t,
    value: u16,
) -> zb_result_t {
    unsafe { with_serializer(s, |s| s.serialize(value)) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_int32(
    s: *mut zb_serializer_t,
    value: i32,
) -> zb_result_t {
    unsafe { with_serializer(s, |s| s.serialize(value)) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_uint32(
    s: *mut zb_serializer_t,
    value: u32,
) -> zb_result_t {
    unsafe { with_serializer(s, |s| s.serialize(value)) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_float(
    s: *mut zb_serializer_t,
    value: f32,
) -> zb_result_t {
    unsafe { with_serializer(s, |s| s.serialize(value)) }
}

/// Writes a string: its length, then its `len` bytes as they are (any bytes, zero included).
#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_string(
    s: *mut zb_serializer_t,
    data: *const c_char,
    len: usize,
) -> zb_result_t {
    let Some(bytes) = (unsafe { slice_from_c(data.cast::<u8>(), len) }) else {
        return ZB_ENULL;
    };
    unsafe { with_serializer(s, |s| s.serialize(bytes)) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_serializer_serialize_sequence_length(
    s: *mut zb_serializer_t,
    len: usize,
) -> zb_result_t {
    unsafe { with_serializer(s, |s| s.serialize(VarInt(len))) }
}

/// Turns the serializer into a payload. The serializer is consumed in every case.
#[no_mangle]
pub unsafe extern "C" fn zb_serializer_finish(
    serializer: *mut zb_serializer_t,
    out: *mut *mut zb_bytes_t,
) -> zb_result_t {
    guard(|| {
        if serializer.is_null() {
            return ZB_ENULL;
        }
        // SAFETY: serializer handles are boxed by `zb_serializer_empty` and consumed once.
        let serializer = unsafe { Box::from_raw(serializer) };
        if out.is_null() {
            return ZB_ENULL;
        }
        unsafe { write_out(out, Box::into_raw(Box::new(serializer.0.finish()))) };
        ZB_OK
    })
}

/// Releases a serializer that was not finished. Null is ignored.
#[no_mangle]
pub unsafe extern "C" fn zb_serializer_drop(serializer: *mut zb_serializer_t) -> zb_result_t {
    guard(|| {
        if !serializer.is_null() {
            // SAFETY: as in `zb_serializer_finish`.
            drop(unsafe { Box::from_raw(serializer) });
        }
        ZB_OK
    })
}

// ---------------------------------------------------------------------------------------------
// Deserializer

/// Creates a deserializer over `bytes`, which it borrows: the payload must outlive it (a payload
/// handed to a callback therefore limits the deserializer to that call). Nothing is copied when
/// the payload is stored in one piece.
#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_from_bytes(
    bytes: *const zb_bytes_t,
    out: *mut *mut zb_deserializer_t,
) -> zb_result_t {
    guard(|| {
        // SAFETY: the caller keeps the payload alive for as long as the deserializer.
        let bytes: Option<&'static ZBytes> = unsafe { bytes.as_ref() };
        let Some(bytes) = bytes else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        let deserializer = zb_deserializer_t {
            reader: ZDeserializer::new(bytes),
            view: ZBytes::to_bytes(bytes),
            position: 0,
            string: Vec::new(),
        };
        unsafe { write_out(out, Box::into_raw(Box::new(deserializer))) };
        ZB_OK
    })
}

impl zb_deserializer_t {
    fn remaining(&self) -> &[u8] {
        &self.view[self.position..]
    }

    /// Reads a number or a bool, which take as many bytes on the wire as in memory. Nothing is
    /// consumed when fewer bytes are left.
    fn read_fixed<T: Deserialize>(&mut self) -> Result<T, zb_result_t> {
        let size = std::mem::size_of::<T>();
        if self.remaining().len() < size {
            return Err(ZB_EDESERIALIZE);
        }
        // A failure past this point (a bool byte other than 0 or 1) has consumed the bytes.
        self.position += size;
        self.reader.deserialize::<T>().map_err(|_| ZB_EDESERIALIZE)
    }

    /// Reads a LEB128 length. Nothing is consumed when its last byte is missing; otherwise all of
    /// its bytes are, also when the value does not fit (which fails).
    fn read_length(&mut self) -> Result<usize, zb_result_t> {
        let Some(last) = self.remaining().iter().position(|byte| byte & 0x80 == 0) else {
            return Err(ZB_EDESERIALIZE);
        };
        self.position += last + 1;
        self.reader
            .deserialize::<VarInt<usize>>()
            .map(|length| length.0)
            .map_err(|_| ZB_EDESERIALIZE)
    }

    /// Reads a string's length and bytes into `self.string`, accepting any bytes (the format is
    /// the same as zenoh-ext's `String`, without its UTF-8 check). When the length announces more
    /// bytes than are left, only the length has been consumed.
    fn read_string(&mut self) -> Result<(), zb_result_t> {
        let len = self.read_length()?;
        if len > self.remaining().len() {
            return Err(ZB_EDESERIALIZE);
        }
        self.string.clear();
        self.string.resize(len, 0);
        self.position += len;
        u8::deserialize_n(&mut self.string, &mut self.reader).map_err(|_| ZB_EDESERIALIZE)
    }
}

unsafe fn read_into<T>(
    deserializer: *mut zb_deserializer_t,
    out: *mut T,
    read: impl FnOnce(&mut zb_deserializer_t) -> Result<T, zb_result_t>,
) -> zb_result_t {
    guard(|| {
        // SAFETY: a non-null deserializer pointer is a live handle used by one thread at a time.
        let Some(deserializer) = (unsafe { deserializer.as_mut() }) else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        match read(deserializer) {
            Ok(value) => {
                unsafe { write_out(out, value) };
                ZB_OK
            }
            Err(code) => code,
        }
    })
}

#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_bool(
    d: *mut zb_deserializer_t,
    out: *mut bool,
) -> zb_result_t {
    unsafe { read_into(d, out, |d| d.read_fixed::<bool>()) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_int16(
    d: *mut zb_deserializer_t,
    out: *mut i16,
) -> zb_result_t {
    unsafe { read_into(d, out, |d| d.read_fixed::<i16>()) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_uint16(
    d: *mut zb_deserializer_t,
    out: *mut u16,
) -> zb_result_t {
    unsafe { read_into(d, out, |d| d.read_fixed::<u16>()) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_int32(
    d: *mut zb_deserializer_t,
    out: *mut i32,
) -> zb_result_t {
    unsafe { read_into(d, out, |d| d.read_fixed::<i32>()) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_uint32(
    d: *mut zb_deserializer_t,
    out: *mut u32,
) -> zb_result_t {
    unsafe { read_into(d, out, |d| d.read_fixed::<u32>()) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_float(
    d: *mut zb_deserializer_t,
    out: *mut f32,
) -> zb_result_t {
    unsafe { read_into(d, out, |d| d.read_fixed::<f32>()) }
}

#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_sequence_length(
    d: *mut zb_deserializer_t,
    out: *mut usize,
) -> zb_result_t {
    unsafe { read_into(d, out, |d| d.read_length()) }
}

/// Reads a string. `data`/`len` receive a view of its bytes (not zero-terminated) that stays
/// valid until the next call on this deserializer or its drop.
#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_deserialize_string(
    d: *mut zb_deserializer_t,
    data: *mut *const c_char,
    len: *mut usize,
) -> zb_result_t {
    guard(|| {
        let Some(deserializer) = (unsafe { d.as_mut() }) else {
            return ZB_ENULL;
        };
        if data.is_null() || len.is_null() {
            return ZB_ENULL;
        }
        match deserializer.read_string() {
            Ok(()) => {
                unsafe {
                    write_out(data, deserializer.string.as_ptr().cast::<c_char>());
                    write_out(len, deserializer.string.len());
                }
                ZB_OK
            }
            Err(code) => code,
        }
    })
}

/// Whether every byte of the payload has been read.
#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_is_done(
    d: *const zb_deserializer_t,
    out: *mut bool,
) -> zb_result_t {
    guard(|| {
        let Some(deserializer) = (unsafe { d.as_ref() }) else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        unsafe { write_out(out, deserializer.reader.done()) };
        ZB_OK
    })
}

/// Number of bytes not read yet.
#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_bytes_left(
    d: *const zb_deserializer_t,
    out: *mut usize,
) -> zb_result_t {
    guard(|| {
        let Some(deserializer) = (unsafe { d.as_ref() }) else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        unsafe { write_out(out, deserializer.remaining().len()) };
        ZB_OK
    })
}

/// Releases a deserializer. Null is ignored.
#[no_mangle]
pub unsafe extern "C" fn zb_deserializer_drop(d: *mut zb_deserializer_t) -> zb_result_t {
    guard(|| {
        if !d.is_null() {
            // SAFETY: deserializer handles are boxed by `zb_deserializer_from_bytes`.
            drop(unsafe { Box::from_raw(d) });
        }
        ZB_OK
    })
}
