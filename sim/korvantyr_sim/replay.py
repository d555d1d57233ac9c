"""A recording (korvantyr-record's MCAP file) played back as the robot it was made of.

The raw channels hold every stream sample byte for byte with its receive time, and every answer
of the robot's data service with the time it came: ``raw/basic_stream_data``,
``raw/extra_stream_data`` and ``raw/rpc/ID``. The replay publishes the samples at their recorded
times (``speed`` times faster), and answers a query with the recorded reply of its request id:
the probe, the server version and the joint-group table as the robot answered them at start-up,
the others (plan info, primitive states, configuration scores) with the answer recorded last
before the moment of the recording being played, else the first one.

Reading needs the ``mcap`` package (the ``sim`` extra). Samples are read as they are played, so a
long recording does not have to fit in memory; the replies are read once, up front.
"""

from __future__ import annotations

import bisect
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

RAW_STREAMS = {"raw/basic_stream_data": "basic", "raw/extra_stream_data": "extra"}
RAW_RPC_PREFIX = "raw/rpc/"
# Answered as at start-up, whenever asked: the probe, the server version, the joint-group table.
START_UP_IDS = frozenset({0, 1, 10})


class ReplayError(Exception):
    """A recording that cannot be replayed, said in one line."""


@dataclass
class Replies:
    """The recorded answers of one request id, in the order they came."""

    times: list[int] = field(default_factory=list)  # log time, ns
    payloads: list[bytes] = field(default_factory=list)

    def at(self, log_time: int, start_up: bool) -> bytes:
        if start_up:
            return self.payloads[0]
        i = bisect.bisect_right(self.times, log_time)
        return self.payloads[max(0, i - 1)]


class Recording:
    def __init__(self, path: str | Path) -> None:
        try:
            from mcap.reader import make_reader
        except ImportError as exc:
            raise ReplayError("replaying needs the mcap package: pip install 'korvantyr[sim]'") \
                from exc
        self.path = Path(path)
        self._make_reader = make_reader
        self.replies: dict[int, Replies] = {}
        first = last = None
        try:
            with open(self.path, "rb") as f:
                reader = make_reader(f)
                summary = reader.get_summary()
                if summary is None:
                    raise ReplayError(f"{self.path} has no summary (an unfinished recording: "
                                      "korvantyr-record recover makes it whole)")
                topics = {c.topic for c in summary.channels.values()}
                if not topics & set(RAW_STREAMS):
                    raise ReplayError(f"{self.path} holds no raw stream samples")
                self.serial: str | None = None
                for record in reader.iter_metadata():
                    if record.name == "korvantyr.recording":
                        self.serial = record.metadata.get("serial_number") or None
                rpc_topics = [t for t in topics if t.startswith(RAW_RPC_PREFIX)]
                for _schema, channel, message in reader.iter_messages(
                        topics=rpc_topics, log_time_order=True):
                    request_id = int(channel.topic[len(RAW_RPC_PREFIX):])
                    replies = self.replies.setdefault(request_id, Replies())
                    replies.times.append(message.log_time)
                    replies.payloads.append(bytes(message.data))
                counts = summary.statistics.channel_message_counts if summary.statistics else {}
                stream_ids = [i for i, c in summary.channels.items() if c.topic in RAW_STREAMS]
                self.samples = sum(counts.get(i, 0) for i in stream_ids)
                for _schema, _channel, message in reader.iter_messages(
                        topics=list(RAW_STREAMS), log_time_order=True):
                    first = message.log_time
                    break
                for _schema, _channel, message in reader.iter_messages(
                        topics=list(RAW_STREAMS), log_time_order=True, reverse=True):
                    last = message.log_time
                    break
        except OSError as exc:
            raise ReplayError(f"cannot read {self.path}: {exc.strerror or exc}") from exc
        except ReplayError:
            raise
        except Exception as exc:  # noqa: BLE001  (the reader's own errors: a damaged file)
            raise ReplayError(f"cannot read {self.path}: {exc}") from exc
        if first is None or last is None:
            raise ReplayError(f"{self.path} holds no raw stream samples")
        self.start: int = first
        self.end: int = last

    @property
    def duration_ns(self) -> int:
        return self.end - self.start

    def samples_in_order(self) -> Iterator[tuple[int, str, bytes]]:
        """(log time, "basic" or "extra", payload) of every recorded sample, in log-time order."""
        with open(self.path, "rb") as f:
            reader = self._make_reader(f)
            for _schema, channel, message in reader.iter_messages(
                    topics=list(RAW_STREAMS), log_time_order=True):
                yield message.log_time, RAW_STREAMS[channel.topic], bytes(message.data)

    def reply(self, request_id: int, log_time: int) -> bytes | None:
        """The recorded answer to ``request_id`` for the moment ``log_time`` of the recording, or
        None when the recording holds none."""
        replies = self.replies.get(request_id)
        if replies is None:
            return None
        return replies.at(log_time, request_id in START_UP_IDS)
