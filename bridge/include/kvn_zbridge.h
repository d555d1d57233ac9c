/*
 * C interface of the Rust bridge to Zenoh. Every function returns a zb_result_t, never unwinds and
 * writes its outputs only on success. Handles are owned by the caller until their *_drop or
 * consuming function; closures are taken over by the function they are passed to, in every case,
 * and their drop runs once, after their last call, on whichever thread releases them. Callbacks
 * run on Zenoh's threads. zb_close, zb_session_drop and zb_undeclare_subscriber block and must not
 * be called from a callback. On a thread whose thread-local storage has been torn down (static
 * destructors and exit handlers at process exit) they cannot block: they return ZB_EUNAVAILABLE and
 * leave the session or subscription, closure included, to the end of the process.
 * Included only by middleware/, messages/ and the native commands.
 */
#ifndef KVN_ZBRIDGE_H
#define KVN_ZBRIDGE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes (zenoh-c's values) ------------------------------------------------------- */

typedef int8_t zb_result_t;

#define ZB_OK ((zb_result_t)0)
#define ZB_EINVAL ((zb_result_t)-1)
#define ZB_EPARSE ((zb_result_t)-2)
#define ZB_EIO ((zb_result_t)-3)
#define ZB_ENETWORK ((zb_result_t)-4)
#define ZB_ENULL ((zb_result_t)-5)
#define ZB_EUNAVAILABLE ((zb_result_t)-6)
#define ZB_EDESERIALIZE ((zb_result_t)-7)
#define ZB_ESESSION_CLOSED ((zb_result_t)-8)
#define ZB_EUTF8 ((zb_result_t)-9)
#define ZB_EGENERIC ((zb_result_t)INT8_MIN)

/* ---- Opaque handles ------------------------------------------------------------------------ */

typedef struct zb_session_t zb_session_t;
typedef struct zb_keyexpr_t zb_keyexpr_t;
typedef struct zb_subscriber_t zb_subscriber_t;
typedef struct zb_bytes_t zb_bytes_t;
typedef struct zb_serializer_t zb_serializer_t;
typedef struct zb_deserializer_t zb_deserializer_t;

/* ---- Enumerations (zenoh-c's values) ------------------------------------------------------- */

typedef enum zb_locality_t {
  ZB_LOCALITY_ANY = 0, /* default */
  ZB_LOCALITY_SESSION_LOCAL = 1,
  ZB_LOCALITY_REMOTE = 2,
} zb_locality_t;

typedef enum zb_query_target_t {
  ZB_QUERY_TARGET_BEST_MATCHING = 0, /* default */
  ZB_QUERY_TARGET_ALL = 1,
  ZB_QUERY_TARGET_ALL_COMPLETE = 2,
} zb_query_target_t;

typedef enum zb_consolidation_mode_t {
  ZB_CONSOLIDATION_MODE_AUTO = -1, /* default */
  ZB_CONSOLIDATION_MODE_NONE = 0,
  ZB_CONSOLIDATION_MODE_MONOTONIC = 1,
  ZB_CONSOLIDATION_MODE_LATEST = 2,
} zb_consolidation_mode_t;

typedef enum zb_priority_t {
  ZB_PRIORITY_REAL_TIME = 1,
  ZB_PRIORITY_INTERACTIVE_HIGH = 2,
  ZB_PRIORITY_INTERACTIVE_LOW = 3,
  ZB_PRIORITY_DATA_HIGH = 4,
  ZB_PRIORITY_DATA = 5, /* default */
  ZB_PRIORITY_DATA_LOW = 6,
  ZB_PRIORITY_BACKGROUND = 7,
} zb_priority_t;

typedef enum zb_congestion_control_t {
  ZB_CONGESTION_CONTROL_BLOCK = 0, /* default for queries */
  ZB_CONGESTION_CONTROL_DROP = 1,
} zb_congestion_control_t;

typedef enum zb_reply_keyexpr_t {
  ZB_REPLY_KEYEXPR_ANY = 0,
  ZB_REPLY_KEYEXPR_MATCHING_QUERY = 1, /* default */
} zb_reply_keyexpr_t;

/* Predefined payload encodings, by Zenoh's numeric id. */
typedef enum zb_encoding_id_t {
  ZB_ENCODING_ZENOH_BYTES = 0, /* default */
  ZB_ENCODING_ZENOH_STRING = 1,
  ZB_ENCODING_ZENOH_SERIALIZED = 2,
} zb_encoding_id_t;

/* ---- Closures ------------------------------------------------------------------------------ */

typedef void (*zb_drop_fn_t)(void* context);

/* payload is borrowed for the duration of the call. */
typedef void (*zb_sample_fn_t)(void* context, const zb_bytes_t* payload);
typedef struct zb_closure_sample_t {
  void* context;
  zb_sample_fn_t call; /* may be NULL */
  zb_drop_fn_t drop;   /* may be NULL */
} zb_closure_sample_t;

/* key_expr (the key the sample was published on) and payload are borrowed for the duration of
 * the call; zb_keyexpr_as_view reads the key's text. */
typedef void (*zb_keyed_sample_fn_t)(void* context, const zb_keyexpr_t* key_expr,
                                     const zb_bytes_t* payload);
typedef struct zb_closure_keyed_sample_t {
  void* context;
  zb_keyed_sample_fn_t call; /* may be NULL */
  zb_drop_fn_t drop;         /* may be NULL */
} zb_closure_keyed_sample_t;

/* is_ok is false for an error reply (Zenoh reports a query time-out as one). */
typedef void (*zb_reply_fn_t)(void* context, bool is_ok, const zb_bytes_t* payload);
typedef struct zb_closure_reply_t {
  void* context;
  zb_reply_fn_t call; /* may be NULL */
  zb_drop_fn_t drop;  /* the query's completion; may be NULL */
} zb_closure_reply_t;

/* ---- Session ------------------------------------------------------------------------------- */

/* Opens a session with Zenoh's default configuration (nothing read from files or environment). */
zb_result_t zb_open(zb_session_t** out);
/* Closes the session: pending queries complete, subscriptions end. The handle stays valid. */
zb_result_t zb_close(const zb_session_t* session);
/* Releases the handle, closing the session if still open. NULL is ignored. */
zb_result_t zb_session_drop(zb_session_t* session);

/* ---- Configured sessions and links ------------------------------------------------------- */

/* What is at the far end of a link (zenoh-c's values). */
typedef uint8_t zb_whatami_t;
#define ZB_WHATAMI_ROUTER ((zb_whatami_t)1)
#define ZB_WHATAMI_PEER ((zb_whatami_t)2)
#define ZB_WHATAMI_CLIENT ((zb_whatami_t)4)

/* Opens a session from a zero-terminated JSON5 configuration; what it leaves out keeps Zenoh's
 * default, and no file or environment variable is read. On failure error (may be NULL) receives
 * Zenoh's reason on one line, zero-terminated, cut to error_size bytes: ZB_EPARSE for a
 * configuration Zenoh rejects, ZB_EGENERIC for a session that did not open (a listener that could
 * not bind, for one). */
zb_result_t zb_open_with_config(const char* config, zb_session_t** out, char* error,
                                size_t error_size);

/* Called once per open unicast link on the caller's thread, before zb_session_links returns; the
 * strings (the far end's Zenoh id, the link's local and remote locators such as
 * "tcp/10.0.0.2:7447") are borrowed for the duration of the call. Must not unwind. */
typedef void (*zb_link_fn_t)(void* context, const char* zid, zb_whatami_t whatami,
                             const char* src, const char* dst);
zb_result_t zb_session_links(const zb_session_t* session, zb_link_fn_t visit, void* context);

/* Scouts for routers and peers for timeout_ms as a default-configured session would (UDP
 * multicast on the automatically chosen interfaces), then calls visit once per node that answered,
 * on the caller's thread; zid is borrowed for the duration of the call. Blocks for timeout_ms. */
typedef void (*zb_hello_fn_t)(void* context, const char* zid, zb_whatami_t whatami);
zb_result_t zb_scout(uint64_t timeout_ms, zb_hello_fn_t visit, void* context);

/* ---- Key expressions ----------------------------------------------------------------------- */

/* From len bytes of text (no terminator needed), canonised first. ZB_EINVAL: not a key
 * expression; ZB_EPARSE: not UTF-8. */
zb_result_t zb_keyexpr_from_substr_autocanonize(const char* expr, size_t len, zb_keyexpr_t** out);
/* The canonical text, not zero-terminated, valid while the key expression lives. */
zb_result_t zb_keyexpr_as_view(const zb_keyexpr_t* key_expr, const char** data, size_t* len);
zb_result_t zb_keyexpr_drop(zb_keyexpr_t* key_expr);

/* ---- Subscriber ---------------------------------------------------------------------------- */

typedef struct zb_subscriber_options_t {
  zb_locality_t allowed_origin;
} zb_subscriber_options_t;

zb_result_t zb_subscriber_options_default(zb_subscriber_options_t* options);
/* Takes over *callback (and empties it) in every case; on failure its drop has already run.
 * options may be NULL for the defaults. */
zb_result_t zb_declare_subscriber(const zb_session_t* session, zb_subscriber_t** out,
                                  const zb_keyexpr_t* key_expr, zb_closure_sample_t* callback,
                                  const zb_subscriber_options_t* options);
/* As zb_declare_subscriber, with a closure that also gets each sample's key expression. The
 * subscriber is undeclared with zb_undeclare_subscriber. */
zb_result_t zb_declare_keyed_subscriber(const zb_session_t* session, zb_subscriber_t** out,
                                        const zb_keyexpr_t* key_expr,
                                        zb_closure_keyed_sample_t* callback,
                                        const zb_subscriber_options_t* options);
/* Undeclares and releases the handle. On return no call of the closure runs or will run and its
 * drop has run. Never call it from that subscriber's own callback. ZB_EUNAVAILABLE (at process
 * exit): nothing was undeclared and the closure may still be called. */
zb_result_t zb_undeclare_subscriber(zb_subscriber_t* subscriber);

/* ---- Query (get) --------------------------------------------------------------------------- */

typedef struct zb_get_options_t {
  zb_query_target_t target;
  zb_consolidation_mode_t consolidation;
  zb_bytes_t* payload; /* owned, taken over by zb_get (nulled); NULL for none */
  zb_encoding_id_t encoding;
  zb_congestion_control_t congestion_control;
  zb_priority_t priority;
  bool is_express;
  zb_locality_t allowed_destination;
  zb_reply_keyexpr_t accept_replies;
  uint64_t timeout_ms; /* 0: the session's configured default */
} zb_get_options_t;

zb_result_t zb_get_options_default(zb_get_options_t* options);
/* Issues a query. parameters: zero-terminated or NULL. *callback and options->payload are taken
 * over in every case. The closure's drop (completion) runs exactly once when Zenoh is done with
 * the query; if zb_get fails it has run before zb_get returns. options may be NULL. */
zb_result_t zb_get(const zb_session_t* session, const zb_keyexpr_t* key_expr,
                   const char* parameters, zb_closure_reply_t* callback,
                   zb_get_options_t* options);

/* ---- Payloads ------------------------------------------------------------------------------ */

/* Copies len bytes (data may be NULL when len is 0). */
zb_result_t zb_bytes_copy_from_buf(const uint8_t* data, size_t len, zb_bytes_t** out);
zb_result_t zb_bytes_len(const zb_bytes_t* bytes, size_t* out);
/* Zero-copy view when stored in one piece; ZB_EUNAVAILABLE when fragmented. */
zb_result_t zb_bytes_get_contiguous_view(const zb_bytes_t* bytes, const uint8_t** data,
                                         size_t* len);
/* Copies everything into dst; ZB_EINVAL (nothing copied) when capacity is too small. */
zb_result_t zb_bytes_to_buf(const zb_bytes_t* bytes, uint8_t* dst, size_t capacity,
                            size_t* written);
zb_result_t zb_bytes_drop(zb_bytes_t* bytes);

/* ---- Serializer ---------------------------------------------------------------------------- */

zb_result_t zb_serializer_empty(zb_serializer_t** out);
zb_result_t zb_serializer_serialize_bool(zb_serializer_t* serializer, bool value);
zb_result_t zb_serializer_serialize_int16(zb_serializer_t* serializer, int16_t value);
zb_result_t zb_serializer_serialize_uint16(zb_serializer_t* serializer, uint16_t value);
zb_result_t zb_serializer_serialize_int32(zb_serializer_t* serializer, int32_t value);
zb_result_t zb_serializer_serialize_uint32(zb_serializer_t* serializer, uint32_t value);
zb_result_t zb_serializer_serialize_float(zb_serializer_t* serializer, float value);
/* Length, then the len bytes as they are (any bytes, zero bytes included). */
zb_result_t zb_serializer_serialize_string(zb_serializer_t* serializer, const char* data,
                                           size_t len);
zb_result_t zb_serializer_serialize_sequence_length(zb_serializer_t* serializer, size_t len);
/* Consumes the serializer in every case. */
zb_result_t zb_serializer_finish(zb_serializer_t* serializer, zb_bytes_t** out);
zb_result_t zb_serializer_drop(zb_serializer_t* serializer);

/* ---- Deserializer -------------------------------------------------------------------------- */

/* Borrows bytes, which must outlive the deserializer. */
zb_result_t zb_deserializer_from_bytes(const zb_bytes_t* bytes, zb_deserializer_t** out);
/* Reads fail with ZB_EDESERIALIZE. A read that finds too few bytes consumes nothing. */
zb_result_t zb_deserializer_deserialize_bool(zb_deserializer_t* deserializer, bool* out);
zb_result_t zb_deserializer_deserialize_int16(zb_deserializer_t* deserializer, int16_t* out);
zb_result_t zb_deserializer_deserialize_uint16(zb_deserializer_t* deserializer, uint16_t* out);
zb_result_t zb_deserializer_deserialize_int32(zb_deserializer_t* deserializer, int32_t* out);
zb_result_t zb_deserializer_deserialize_uint32(zb_deserializer_t* deserializer, uint32_t* out);
zb_result_t zb_deserializer_deserialize_float(zb_deserializer_t* deserializer, float* out);
zb_result_t zb_deserializer_deserialize_sequence_length(zb_deserializer_t* deserializer,
                                                        size_t* out);
/* Any bytes are accepted (no UTF-8 check). data/len view the string until the next call on the
 * deserializer or its drop. */
zb_result_t zb_deserializer_deserialize_string(zb_deserializer_t* deserializer, const char** data,
                                               size_t* len);
zb_result_t zb_deserializer_is_done(const zb_deserializer_t* deserializer, bool* out);
zb_result_t zb_deserializer_bytes_left(const zb_deserializer_t* deserializer, size_t* out);
zb_result_t zb_deserializer_drop(zb_deserializer_t* deserializer);

/* ---- MCAP files (the recorder) --------------------------------------------------------------- */

/* An MCAP file being written: chunks (compressed with zstd or lz4, or stored), then the summary
 * and indexes. One thread at a time. Texts are UTF-8 with their length (ZB_EUTF8 otherwise). A failed write
 * (ZB_EIO for the file, ZB_EINVAL for a misuse) leaves its reason for zb_mcap_error_message, and
 * the file holds every chunk finished before it. */
typedef struct zb_mcap_writer_t zb_mcap_writer_t;

/* compression for zb_mcap_open. */
#define ZB_MCAP_ZSTD ((uint8_t)0)
#define ZB_MCAP_LZ4 ((uint8_t)1)
#define ZB_MCAP_NONE ((uint8_t)2) /* chunks stored as they are */

/* Creates or truncates the file. Chunks close at chunk_size bytes before compression; level is
 * the compressor's (0 its default; ignored for ZB_MCAP_NONE). An unknown compression is ZB_EINVAL
 * and creates nothing. On failure the reason goes to error (error_capacity bytes,
 * zero-terminated; error may be NULL). */
zb_result_t zb_mcap_open(const uint8_t* path, size_t path_len, uint64_t chunk_size,
                         uint8_t compression, uint32_t level, uint8_t* error,
                         size_t error_capacity, zb_mcap_writer_t** out);
/* Ids are never 0. encoding: "ros2msg", "jsonschema", ... */
zb_result_t zb_mcap_add_schema(zb_mcap_writer_t* writer, const uint8_t* name, size_t name_len,
                               const uint8_t* encoding, size_t encoding_len, const uint8_t* data,
                               size_t data_len, uint16_t* out);
/* schema_id 0: a channel without schema. */
zb_result_t zb_mcap_add_channel(zb_mcap_writer_t* writer, uint16_t schema_id,
                                const uint8_t* topic, size_t topic_len,
                                const uint8_t* message_encoding, size_t message_encoding_len,
                                uint16_t* out);
/* Times in nanoseconds. */
zb_result_t zb_mcap_write_message(zb_mcap_writer_t* writer, uint16_t channel_id, uint32_t sequence,
                                  uint64_t log_time, uint64_t publish_time, const uint8_t* data,
                                  size_t data_len);
zb_result_t zb_mcap_write_metadata(zb_mcap_writer_t* writer, const uint8_t* name, size_t name_len,
                                   const uint8_t* const* keys, const size_t* key_lens,
                                   const uint8_t* const* values, const size_t* value_lens,
                                   size_t count);
/* Closes the current chunk and hands the bytes to the operating system. */
zb_result_t zb_mcap_flush(zb_mcap_writer_t* writer);
/* Writes the summary and footer and closes the file; the writer must still be dropped. */
zb_result_t zb_mcap_finish(zb_mcap_writer_t* writer);
/* The last failure's text (len 0 if none), valid until the next call on the writer. */
zb_result_t zb_mcap_error_message(const zb_mcap_writer_t* writer, const uint8_t** data,
                                  size_t* len);
/* Finishes an unfinished writer (failures ignored) unless a write failed; NULL is ignored. */
zb_result_t zb_mcap_drop(zb_mcap_writer_t* writer);

#ifdef __cplusplus
}
#endif

#endif /* KVN_ZBRIDGE_H */
