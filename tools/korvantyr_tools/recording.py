"""Reading a recording of korvantyr-record (an MCAP file) into numpy arrays, per joint group.

    from korvantyr_tools.recording import load

    rec = load("run.mcap")
    arm = rec.states["ARM_1"]           # one numpy array per field, one row per sample
    print(arm["q"].shape, arm["time"])  # (N, DoF); the robot's time stamps in seconds
    frame = rec.frame("ARM_1")          # the same as a pandas DataFrame (needs pandas)

``rec.states``, ``rec.actions`` and ``rec.io`` hold the decoded channels (``/GROUP/states``,
``/GROUP/actions``, ``/io``), ``rec.replies`` the decoded answers per request id,
``rec.metadata`` the start-up facts and the recorder's summary, and ``raw_samples`` yields the
raw payloads byte for byte. Every field array has one row per message; ``time`` is the message's
header stamp in seconds and ``log_time`` the receive time on the recording computer (ns).

A file whose recorder was killed has no summary: ``load`` then reads it from the start up to the
last whole chunk, and ``recover`` writes such a file out again as a complete one. Needs the
``record`` extra: pip install 'korvantyr[record]'.
"""

from __future__ import annotations

from collections.abc import Collection, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

RECORD_EXTRA = "pip install 'korvantyr[record]'"
RAW_TOPICS = {"basic": "raw/basic_stream_data", "extra": "raw/extra_stream_data"}


class RecordingError(Exception):
    """A recording that cannot be read, said in one line."""


def _imports() -> tuple[Any, Any, Any]:
    try:
        import numpy
        from mcap.stream_reader import StreamReader
        from mcap_ros2.decoder import DecoderFactory
    except ImportError as exc:
        raise RecordingError(f"reading recordings needs mcap, mcap-ros2-support and numpy: "
                             f"{RECORD_EXTRA}") from exc
    return numpy, StreamReader, DecoderFactory


@dataclass
class Messages:
    """The decoded messages of one channel as columns: field name to list of values."""

    columns: dict[str, list[Any]] = field(default_factory=dict)

    def add(self, log_time: int, message: Any) -> None:
        values = {"log_time": log_time}
        header = getattr(message, "header", None)
        if header is not None:
            values["time"] = header.stamp.sec + header.stamp.nanosec * 1e-9
            values["stamp_sec"] = header.stamp.sec
            values["stamp_nanosec"] = header.stamp.nanosec
        for name in message.__slots__:
            if name != "header":
                values[name] = getattr(message, name)
        for name, value in values.items():
            self.columns.setdefault(name, []).append(value)


class Recording:
    """A recording loaded into memory: see the module's documentation."""

    def __init__(self, path: Path, metadata: dict[str, dict[str, str]],
                 channels: dict[str, Messages], complete: bool) -> None:
        numpy = _imports()[0]
        self.path = path
        self.metadata = metadata
        self.complete = complete  # False: the file ended early (read up to its last whole chunk)

        def arrays(messages: Messages) -> dict[str, Any]:
            out = {}
            for name, column in messages.columns.items():
                try:
                    out[name] = numpy.asarray(column)
                except ValueError:  # rows of different lengths: kept as a list
                    out[name] = column
            return out

        self.states: dict[str, dict[str, Any]] = {}
        self.actions: dict[str, dict[str, Any]] = {}
        self.poses: dict[str, dict[str, Any]] = {}
        self.replies: dict[int, dict[str, Any]] = {}
        self.io: dict[str, Any] = {}
        for topic, messages in channels.items():
            parts = topic.strip("/").split("/")
            if topic == "/io":
                self.io = arrays(messages)
            elif len(parts) == 2 and parts[0] == "rpc":
                self.replies[int(parts[1])] = arrays(messages)
            elif len(parts) == 2 and parts[1] == "states":
                self.states[parts[0]] = arrays(messages)
            elif len(parts) == 2 and parts[1] == "actions":
                self.actions[parts[0]] = arrays(messages)
            elif len(parts) == 2 and parts[1] == "tcp_pose":
                self.poses[parts[0]] = arrays(messages)

    def frame(self, group: str, kind: str = "states") -> Any:
        """One joint group's ``states`` or ``actions`` as a pandas DataFrame: one row per sample,
        one column per scalar (``q_1`` ... ``q_N``, ``tcp_wrench_1`` ...)."""
        try:
            import pandas
        except ImportError as exc:
            raise RecordingError("frame() needs pandas: pip install pandas") from exc
        table = (self.states if kind == "states" else self.actions)[group]
        columns: dict[str, Any] = {}
        for name, values in table.items():
            if getattr(values, "ndim", 1) == 2:
                for i in range(values.shape[1]):
                    columns[f"{name}_{i + 1}"] = values[:, i]
            elif getattr(values, "ndim", 0) == 1:
                columns[name] = values
        return pandas.DataFrame(columns).set_index("time")


def _records(path: Path) -> Iterator[Any]:
    """Every record of the file from the start; stops quietly where a file that was never
    finished ends (a killed recorder), raising nothing for the cut-off tail."""
    _numpy, StreamReader, _factory = _imports()
    from mcap.exceptions import McapError

    with open(path, "rb") as f:
        reader = StreamReader(f, validate_crcs=True)
        try:
            yield from reader.records
        except (McapError, EOFError, ValueError, OSError):
            return


def load(path: str | Path, *, decoded: bool = True,
         topics: Collection[str] | None = None) -> Recording:
    """Reads the whole recording; ``topics`` limits the decoded channels to those named (decoding
    costs about a millisecond a message), ``decoded=False`` skips them all (metadata only)."""
    from mcap.records import Channel, DataEnd, Footer, Message, Metadata, Schema

    _numpy, _reader, DecoderFactory = _imports()
    path = Path(path)
    if not path.is_file():
        raise RecordingError(f"{path}: no such file")
    factory = DecoderFactory()
    schemas: dict[int, Any] = {}
    channels: dict[int, Any] = {}
    decoders: dict[int, Any] = {}
    metadata: dict[str, dict[str, str]] = {}
    messages: dict[str, Messages] = {}
    complete = False
    try:
        for record in _records(path):
            if isinstance(record, Schema):
                schemas[record.id] = record
            elif isinstance(record, Channel):
                channels[record.id] = record
            elif isinstance(record, Metadata):
                metadata[record.name] = dict(record.metadata)
            elif isinstance(record, (DataEnd, Footer)):
                complete = True
            elif isinstance(record, Message) and decoded:
                channel = channels[record.channel_id]
                if channel.message_encoding != "cdr" or (
                        topics is not None and channel.topic not in topics):
                    continue
                decoder = decoders.get(channel.id)
                if decoder is None:
                    decoder = factory.decoder_for("cdr", schemas[channel.schema_id])
                    decoders[channel.id] = decoder
                messages.setdefault(channel.topic, Messages()).add(record.log_time,
                                                                   decoder(record.data))
    except OSError as exc:
        raise RecordingError(f"cannot read {path}: {exc.strerror or exc}") from exc
    if not channels and not metadata:
        raise RecordingError(f"{path} is not a recording of korvantyr-record")
    return Recording(path, metadata, messages, complete)


def raw_samples(path: str | Path, stream: str = "basic") -> Iterator[tuple[int, int, bytes]]:
    """(log time ns, publish time ns, payload) of every raw sample of ``stream`` ("basic" or
    "extra"), in file order, as the robot sent them."""
    from mcap.records import Channel, Message

    topic = RAW_TOPICS[stream]
    wanted: set[int] = set()
    for record in _records(Path(path)):
        if isinstance(record, Channel) and record.topic == topic:
            wanted.add(record.id)
        elif isinstance(record, Message) and record.channel_id in wanted:
            yield record.log_time, record.publish_time, bytes(record.data)


def recover(source: str | Path, target: str | Path) -> int:
    """Writes every whole record of ``source`` (a recording whose recorder was killed, or whose
    disk filled up) into ``target`` as a complete file with summary and indexes; returns the number
    of messages kept."""
    from mcap.records import Channel, Message, Metadata, Schema
    from mcap.writer import CompressionType, Writer

    kept = 0
    with open(target, "wb") as out:
        writer = Writer(out, compression=CompressionType.ZSTD)
        writer.start(profile="", library="korvantyr-record recover")
        schemas: dict[int, int] = {}  # id in the source to id in the target
        channels: dict[int, int] = {}
        for record in _records(Path(source)):
            if isinstance(record, Schema) and record.id not in schemas:
                schemas[record.id] = writer.register_schema(record.name, record.encoding,
                                                            record.data)
            elif isinstance(record, Channel) and record.id not in channels:
                channels[record.id] = writer.register_channel(
                    record.topic, record.message_encoding, schemas.get(record.schema_id, 0),
                    dict(record.metadata))
            elif isinstance(record, Metadata):
                writer.add_metadata(record.name, dict(record.metadata))
            elif isinstance(record, Message) and record.channel_id in channels:
                writer.add_message(channels[record.channel_id], record.log_time, record.data,
                                   record.publish_time, record.sequence)
                kept += 1
        writer.finish()
    return kept
