//! MCAP files for the recorder (`zb_mcap_writer_t` is a boxed writer over a buffered file):
//! schemas, channels, messages and metadata go into chunks (compressed with zstd or lz4, or stored
//! as they are), and `zb_mcap_finish` writes the summary and the indexes that let readers seek. A
//! writer is used by one thread at a time. Any failure (the disk full among them) leaves its text
//! in the writer for `zb_mcap_error_message`; the file then holds every chunk finished before it.

use std::collections::BTreeMap;
use std::fs::File;
use std::io::BufWriter;

use mcap::records::{MessageHeader, Metadata};
use mcap::{Compression, McapError, WriteOptions, Writer};

use crate::result::*;

pub struct zb_mcap_writer_t {
    writer: Option<Writer<BufWriter<File>>>,
    error: String,
}

/// Chunk compressions for `zb_mcap_open` (ZB_MCAP_ZSTD, ZB_MCAP_LZ4, ZB_MCAP_NONE in the header).
const ZSTD: u8 = 0;
const LZ4: u8 = 1;
const NONE: u8 = 2;

/// Library name written into the file's header.
const LIBRARY: &str = "korvantyr-record (mcap 0.26.0)";

fn text<'a>(data: *const u8, len: usize) -> Option<&'a str> {
    let raw = unsafe { slice_from_c(data, len) }?;
    std::str::from_utf8(raw).ok()
}

/// The error and its causes, outermost first: the operating system's reason (a full disk) is the
/// cause of the writer's I/O error.
fn describe(error: &McapError) -> String {
    let mut text = error.to_string();
    let mut cause = std::error::Error::source(error);
    while let Some(inner) = cause {
        text.push_str(": ");
        text.push_str(&inner.to_string());
        cause = inner.source();
    }
    text
}

/// Closes the file of a writer whose writing failed without writing anything more: a second
/// attempt could put a summary behind a chunk that never reached the disk whole.
fn abandon(writer: Writer<BufWriter<File>>) {
    let (file, _unwritten) = writer.into_inner().into_parts();
    drop(file);
}

impl zb_mcap_writer_t {
    /// Runs `op` on the open writer; a failure is kept as the writer's last error.
    fn run<T>(
        &mut self,
        op: impl FnOnce(&mut Writer<BufWriter<File>>) -> Result<T, McapError>,
    ) -> Result<T, zb_result_t> {
        let Some(writer) = self.writer.as_mut() else {
            return Err(ZB_EINVAL);
        };
        op(writer).map_err(|error| {
            let code = match &error {
                McapError::Io(_) => ZB_EIO,
                _ => ZB_EINVAL,
            };
            self.error = describe(&error);
            code
        })
    }
}

/// Creates (or truncates) the file at `path` (`path_len` bytes of UTF-8, no terminator needed)
/// and writes the MCAP header. Chunks are closed once they hold `chunk_size` bytes before
/// compression, compressed by `compression` at `level` (0: the compressor's default; ignored for
/// `NONE`). On failure nothing is written to `out` and `error`/`error_len` (optional) receive the
/// reason's length-limited text; an unknown `compression` is ZB_EINVAL and creates no file.
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_open(
    path: *const u8,
    path_len: usize,
    chunk_size: u64,
    compression: u8,
    level: u32,
    error: *mut u8,
    error_capacity: usize,
    out: *mut *mut zb_mcap_writer_t,
) -> zb_result_t {
    guard(|| {
        if out.is_null() {
            return ZB_ENULL;
        }
        let Some(path) = text(path, path_len) else {
            return ZB_EUTF8;
        };
        let report = |message: String| {
            if !error.is_null() && error_capacity > 0 {
                let bytes = message.as_bytes();
                let n = bytes.len().min(error_capacity - 1);
                unsafe {
                    std::ptr::copy_nonoverlapping(bytes.as_ptr(), error, n);
                    *error.add(n) = 0;
                }
            }
        };
        let compression = match compression {
            ZSTD => Some(Compression::Zstd),
            LZ4 => Some(Compression::Lz4),
            NONE => None,
            _ => return ZB_EINVAL,
        };
        let file = match File::create(path) {
            Ok(file) => file,
            Err(e) => {
                report(e.to_string());
                return ZB_EIO;
            }
        };
        let options = WriteOptions::new()
            .compression(compression)
            .compression_level(level)
            // Compression runs on the caller's thread: the recorder keeps its CPU use in view.
            .compression_threads(0)
            .chunk_size(Some(chunk_size.max(1024)))
            .library(LIBRARY);
        match options.create(BufWriter::with_capacity(1 << 20, file)) {
            Ok(writer) => {
                let boxed = Box::new(zb_mcap_writer_t {
                    writer: Some(writer),
                    error: String::new(),
                });
                unsafe { write_out(out, Box::into_raw(boxed)) };
                ZB_OK
            }
            Err(e) => {
                report(e.to_string());
                ZB_EIO
            }
        }
    })
}

/// Adds a schema and gives its id (never 0). `encoding`: e.g. "ros2msg" or "jsonschema".
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_add_schema(
    writer: *mut zb_mcap_writer_t,
    name: *const u8,
    name_len: usize,
    encoding: *const u8,
    encoding_len: usize,
    data: *const u8,
    data_len: usize,
    out: *mut u16,
) -> zb_result_t {
    guard(|| {
        let Some(w) = (unsafe { writer.as_mut() }) else {
            return ZB_ENULL;
        };
        let (Some(name), Some(encoding)) = (text(name, name_len), text(encoding, encoding_len))
        else {
            return ZB_EUTF8;
        };
        let Some(data) = (unsafe { slice_from_c(data, data_len) }) else {
            return ZB_ENULL;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        match w.run(|m| m.add_schema(name, encoding, data)) {
            Ok(id) => {
                unsafe { write_out(out, id) };
                ZB_OK
            }
            Err(code) => code,
        }
    })
}

/// Adds a channel on `topic` with `schema_id` (0: none) and gives its id.
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_add_channel(
    writer: *mut zb_mcap_writer_t,
    schema_id: u16,
    topic: *const u8,
    topic_len: usize,
    message_encoding: *const u8,
    message_encoding_len: usize,
    out: *mut u16,
) -> zb_result_t {
    guard(|| {
        let Some(w) = (unsafe { writer.as_mut() }) else {
            return ZB_ENULL;
        };
        let (Some(topic), Some(encoding)) = (
            text(topic, topic_len),
            text(message_encoding, message_encoding_len),
        ) else {
            return ZB_EUTF8;
        };
        if out.is_null() {
            return ZB_ENULL;
        }
        match w.run(|m| m.add_channel(schema_id, topic, encoding, &BTreeMap::new())) {
            Ok(id) => {
                unsafe { write_out(out, id) };
                ZB_OK
            }
            Err(code) => code,
        }
    })
}

/// Writes one message on a channel added before. Times are nanoseconds.
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_write_message(
    writer: *mut zb_mcap_writer_t,
    channel_id: u16,
    sequence: u32,
    log_time: u64,
    publish_time: u64,
    data: *const u8,
    data_len: usize,
) -> zb_result_t {
    guard(|| {
        let Some(w) = (unsafe { writer.as_mut() }) else {
            return ZB_ENULL;
        };
        let Some(data) = (unsafe { slice_from_c(data, data_len) }) else {
            return ZB_ENULL;
        };
        let header = MessageHeader {
            channel_id,
            sequence,
            log_time,
            publish_time,
        };
        match w.run(|m| m.write_to_known_channel(&header, data)) {
            Ok(()) => ZB_OK,
            Err(code) => code,
        }
    })
}

/// Writes a metadata record `name` of `count` key/value pairs (UTF-8, each with its length).
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_write_metadata(
    writer: *mut zb_mcap_writer_t,
    name: *const u8,
    name_len: usize,
    keys: *const *const u8,
    key_lens: *const usize,
    values: *const *const u8,
    value_lens: *const usize,
    count: usize,
) -> zb_result_t {
    guard(|| {
        let Some(w) = (unsafe { writer.as_mut() }) else {
            return ZB_ENULL;
        };
        let Some(name) = text(name, name_len) else {
            return ZB_EUTF8;
        };
        if count > 0 && (keys.is_null() || key_lens.is_null() || values.is_null())
            || (count > 0 && value_lens.is_null())
        {
            return ZB_ENULL;
        }
        let mut map = BTreeMap::new();
        for i in 0..count {
            // SAFETY: the caller gives `count` entries in each of the four arrays.
            let (key, value) = unsafe {
                (
                    text(*keys.add(i), *key_lens.add(i)),
                    text(*values.add(i), *value_lens.add(i)),
                )
            };
            let (Some(key), Some(value)) = (key, value) else {
                return ZB_EUTF8;
            };
            map.insert(key.to_owned(), value.to_owned());
        }
        let metadata = Metadata {
            name: name.to_owned(),
            metadata: map,
        };
        match w.run(|m| m.write_metadata(&metadata)) {
            Ok(()) => ZB_OK,
            Err(code) => code,
        }
    })
}

/// Closes the current chunk and hands everything to the operating system: what was written so far
/// survives the process being killed.
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_flush(writer: *mut zb_mcap_writer_t) -> zb_result_t {
    guard(|| {
        let Some(w) = (unsafe { writer.as_mut() }) else {
            return ZB_ENULL;
        };
        match w.run(|m| m.flush()) {
            Ok(()) => ZB_OK,
            Err(code) => code,
        }
    })
}

/// Writes the last chunk, the summary, the indexes and the footer, and closes the file. The
/// writer accepts nothing afterwards (ZB_EINVAL) but must still be dropped.
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_finish(writer: *mut zb_mcap_writer_t) -> zb_result_t {
    guard(|| {
        let Some(w) = (unsafe { writer.as_mut() }) else {
            return ZB_ENULL;
        };
        let result = w.run(|m| m.finish().map(|_| ()));
        if let Some(m) = w.writer.take() {
            if result.is_ok() {
                // Closing flushes the buffered file: the last chance to see a full disk.
                if let Err(e) = m.into_inner().into_inner() {
                    w.error = e.error().to_string();
                    return ZB_EIO;
                }
            } else {
                abandon(m);
            }
        }
        match result {
            Ok(()) => ZB_OK,
            Err(code) => code,
        }
    })
}

/// The text of the writer's last failure (empty if none), valid until the next call on it.
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_error_message(
    writer: *const zb_mcap_writer_t,
    data: *mut *const u8,
    len: *mut usize,
) -> zb_result_t {
    guard(|| {
        let Some(w) = (unsafe { writer.as_ref() }) else {
            return ZB_ENULL;
        };
        if data.is_null() || len.is_null() {
            return ZB_ENULL;
        }
        unsafe {
            write_out(data, w.error.as_ptr());
            write_out(len, w.error.len());
        }
        ZB_OK
    })
}

/// Releases the writer. One that was never finished is finished here, failures ignored; one
/// whose writing failed is left as it is on disk. NULL is ignored.
#[no_mangle]
pub unsafe extern "C" fn zb_mcap_drop(writer: *mut zb_mcap_writer_t) -> zb_result_t {
    guard(|| {
        if !writer.is_null() {
            // SAFETY: writers are boxed by this module and dropped once by the caller.
            let mut w = unsafe { Box::from_raw(writer) };
            if !w.error.is_empty() {
                if let Some(m) = w.writer.take() {
                    abandon(m);
                }
            }
        }
        ZB_OK
    })
}
