"""korvantyr-record's recordings, read as others read them, and played back as a robot.

One recording of the simulated robot is made for the module (five basic samples spoilt on purpose
while it runs; a second one, with uncompressed chunks, for the reader's checks) and read with the
official MCAP reader and the ROS 2 message decoder; the raw samples are checked against the
simulator's own decoder, which shares no code with the library's.
Then the recording is replayed by korvantyr-sim --replay, recorded again and read by a client; and
the recorder is killed, made to fill a small disk, and left recording while its robot dies and
comes back."""

from __future__ import annotations

import contextlib
import math
import os
import signal
import subprocess
import sys
import time
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

import pytest
from conftest import installed_command, module_sim, sim_env, start_controlled_sim
from korvantyr_sim.messages import (AllBasicStreamData, AllExtraStreamData, DecodeError, RPCReply,
                                   decode, encode)

mcap_reader = pytest.importorskip("mcap.reader")
mcap_ros2_decoder = pytest.importorskip("mcap_ros2.decoder")

from korvantyr_tools.recording import load, raw_samples, recover  # noqa: E402

GROUPS = {"ALL": (0, 16), "ARMS": (0, 14), "ARM_1": (0, 7), "ARM_2": (7, 7), "EXT_AXIS": (14, 2)}
SPOILT = 5  # basic samples cut short while the module's recording runs
PER_CHANNEL = 60  # decoded messages checked per channel
LOADED = {"/ALL/states", "/ARM_2/states", "/ARM_2/actions", "/io"}
# A plan-info reply whose texts are not UTF-8, as a robot may send: kept raw, decoded escaped.
ODD_PLAN = RPCReply(request_id=4, success=True,
                    string_container=[b"\xff\xfeplan", b"node\x00", b"p", b"1", b"2", b"a", b"0.5",
                                      b"0"])
STATE_SEQUENCES = ["q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                   "temperature"]


def recorder(serial: str, out: Path, *args: str) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [str(installed_command("korvantyr-record-native")), serial, "-o", str(out), "--quiet",
         *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_until(condition, timeout: float, what: str) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"{what} within {timeout} s", pytrace=False)
        time.sleep(0.02)


def finished(proc: subprocess.Popen[str], timeout: float = 60.0) -> tuple[int, str, str]:
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out, err


@dataclass
class Recorded:
    path: Path
    stdout: str
    serial: str


def record_module_robot(directory: Path, serial: str, *args: str) -> Recorded:
    path = directory / "run.mcap"
    with module_sim(directory, serial) as robot:
        proc = recorder(serial, path, "--seconds", "2.5", "--rpc-rate", "5", *args)
        wait_until(path.exists, 20, "the recorder began no file")
        robot.command(f"stream basic cut {SPOILT}")
        robot.command(f"rpc 4 payload {encode(ODD_PLAN).hex()} times 1")
        # The robot goes quiet for half a second: a gap in its time stamps, the recording goes on.
        time.sleep(0.3)
        robot.command("pause basic")
        time.sleep(0.5)
        robot.command("resume basic")
        status, out, err = finished(proc)
        assert status == 0, err
        assert "Traceback" not in err
    return Recorded(path, out, serial)


@pytest.fixture(scope="module")
def recorded(netns, tmp_path_factory: pytest.TempPathFactory) -> Recorded:
    return record_module_robot(tmp_path_factory.mktemp("recording"), f"REC-{os.getpid()}-1")


@pytest.fixture(scope="module")
def uncompressed(netns, tmp_path_factory: pytest.TempPathFactory) -> Recorded:
    """The same recording with its chunks stored uncompressed."""
    return record_module_robot(tmp_path_factory.mktemp("uncompressed"), f"REC-{os.getpid()}-5",
                               "--compression", "none")


@pytest.fixture(scope="module")
def lz4_chunks(netns, tmp_path_factory: pytest.TempPathFactory) -> Recorded:
    """The same recording with lz4-compressed chunks."""
    return record_module_robot(tmp_path_factory.mktemp("lz4"), f"REC-{os.getpid()}-7",
                               "--compression", "lz4")


@pytest.fixture(scope="module")
def loaded(recorded: Recorded):
    """The module's recording through korvantyr_tools.recording.load, some channels decoded
    (decoding takes a while)."""
    return load(recorded.path, topics=LOADED)


def messages_by_topic(path: Path) -> dict[str, list]:
    with open(path, "rb") as f:
        reader = mcap_reader.make_reader(f, validate_crcs=True)
        out: dict[str, list] = {}
        for _schema, channel, message in reader.iter_messages(log_time_order=False):
            out.setdefault(channel.topic, []).append(message)
    return out


# ------------------------------------------------------------------------------------------------
# The file as the official reader sees it


@pytest.mark.network
@pytest.mark.parametrize("compression", ["zstd", "lz4", "none"])
def test_official_reader_finds_summary_indexes_and_every_message(
        request: pytest.FixtureRequest, compression: str) -> None:
    recorded: Recorded = request.getfixturevalue(
        {"zstd": "recorded", "lz4": "lz4_chunks", "none": "uncompressed"}[compression])
    with open(recorded.path, "rb") as f:
        reader = mcap_reader.make_reader(f, validate_crcs=True)
        summary = reader.get_summary()
        assert summary is not None and summary.statistics is not None
        assert summary.chunk_indexes, "no chunk index: readers could not seek"
        if compression != "none":
            assert all(c.compression == compression for c in summary.chunk_indexes)
        else:  # stored as they are: the record's own name for that is the empty one
            assert all(c.compression == "" and c.compressed_size == c.uncompressed_size
                       for c in summary.chunk_indexes)
        counts = Counter()
        for _schema, channel, _message in reader.iter_messages():  # through the chunk indexes
            counts[channel.id] += 1
        by_topic = {summary.channels[i].topic: n for i, n in counts.items()}
    # What the indexes give is what the statistics count, and what a linear reader finds.
    assert dict(counts) == {i: n for i, n in summary.statistics.channel_message_counts.items()
                            if n}
    linear = Counter()
    with open(recorded.path, "rb") as f:
        from mcap.reader import NonSeekingReader

        for _schema, channel, _message in NonSeekingReader(f, validate_crcs=True).iter_messages():
            linear[channel.topic] += 1
    assert linear == by_topic
    expected = {"raw/basic_stream_data", "raw/extra_stream_data", "/io", "raw/rpc/0",
                "raw/rpc/1", "raw/rpc/10", "raw/rpc/3", "raw/rpc/4", "raw/rpc/9", "/rpc/4"}
    expected |= {f"/{g}/{kind}" for g in GROUPS for kind in ("states", "actions", "tcp_pose")}
    assert expected <= set(by_topic), sorted(set(by_topic))
    assert by_topic["raw/basic_stream_data"] > 100  # 2 s at 200 Hz, less start-up and pause


@pytest.mark.network
def test_raw_samples_are_every_sample_in_order_byte_for_byte(recorded: Recorded) -> None:
    topics = messages_by_topic(recorded.path)
    for topic, cls in (("raw/basic_stream_data", AllBasicStreamData),
                       ("raw/extra_stream_data", AllExtraStreamData)):
        raw = topics[topic]
        # Arrival numbers from 1 without a gap: nothing lost between the callback and the file.
        assert [m.sequence for m in raw] == list(range(1, len(raw) + 1)), topic
        assert all(a.log_time <= b.log_time for a, b in zip(raw, raw[1:]))
        bad = 0
        for message in raw:
            try:
                decode(cls, bytes(message.data))
            except DecodeError:
                bad += 1
        assert bad == (SPOILT if cls is AllBasicStreamData else 0), topic
    # The robot's time stamps are the publish times of the basic samples that decode.
    for message in topics["raw/basic_stream_data"][:50]:
        try:
            basic = decode(AllBasicStreamData, bytes(message.data))
        except DecodeError:
            continue
        assert message.publish_time == basic.timestamp_sec * 10**9 + basic.timestamp_nsec
    assert f"{SPOILT} undecodable, 0 lost in the queue" in recorded.stdout, recorded.stdout


@pytest.mark.network
def test_metadata_holds_the_start_up_facts_and_the_summary(recorded: Recorded) -> None:
    with open(recorded.path, "rb") as f:
        meta = {m.name: m.metadata for m in mcap_reader.make_reader(f).iter_metadata()}
    facts = meta["korvantyr.recording"]
    assert facts["serial_number"] == recorded.serial
    assert facts["server_version"] == "v2.1" and facts["client_version"] == "v2.1"
    assert facts["host"] and facts["recorder"].startswith("korvantyr-record ")
    table = meta["korvantyr.joint_groups"]
    for group, (start, dof) in GROUPS.items():
        assert (table[f"{group}.start_index"], table[f"{group}.dof"]) == (str(start), str(dof))
    summary = meta["korvantyr.summary"]
    assert summary["basic_undecodable"] == str(SPOILT) and summary["basic_queue_lost"] == "0"
    # The rate by the robot's time stamps, as the samples that decode give it.
    stamps = []
    for _log, _publish, payload in raw_samples(recorded.path, "basic"):
        with contextlib.suppress(DecodeError):
            basic = decode(AllBasicStreamData, payload)
            stamps.append(basic.timestamp_sec + basic.timestamp_nsec * 1e-9)
    rate = (len(stamps) - 1) / (stamps[-1] - stamps[0])
    assert float(summary["robot_rate_hz"]) == pytest.approx(rate, rel=1e-3)
    # The pause shows as a gap (a busy machine may stall the simulated robot into more).
    assert int(summary["robot_time_gaps"]) >= 1
    assert 0.45 <= float(summary["robot_longest_gap_s"]) < 1.5


# ------------------------------------------------------------------------------------------------
# The decoded channels: their schemas decode them, and they say what the raw samples say


def cartesian(basic: AllBasicStreamData, group: str):
    number = {"ALL": 0, "ARMS": 2, "ARM_1": 3, "ARM_2": 4, "EXT_AXIS": 5}[group]
    [record] = [c for n, c in zip(basic.joint_group_indices, basic.cartesian_data) if n == number]
    return record


@pytest.mark.network
def test_decoded_channels_match_their_schemas_and_the_raw_samples(recorded: Recorded) -> None:
    factory = mcap_ros2_decoder.DecoderFactory()
    raw_by_stamp = {}
    for _log, _publish, payload in raw_samples(recorded.path, "basic"):
        try:
            basic = decode(AllBasicStreamData, payload)
        except DecodeError:
            continue
        raw_by_stamp[(basic.timestamp_sec, basic.timestamp_nsec)] = basic
    checked = Counter()
    with open(recorded.path, "rb") as f:
        reader = mcap_reader.make_reader(f)
        for schema, channel, message in reader.iter_messages():
            if channel.message_encoding != "cdr":
                assert channel.message_encoding == "zenoh-serialized" and schema is None
                continue
            if checked[channel.topic] >= PER_CHANNEL:  # pure-Python decoding is slow
                continue
            checked[channel.topic] += 1
            # Every decoded message is read by the schema it names, to its last byte.
            decoded = factory.decoder_for("cdr", schema)(message.data)
            stamp = (decoded.header.stamp.sec, decoded.header.stamp.nanosec)
            group, _, kind = channel.topic.strip("/").partition("/")
            if kind == "states":
                basic = raw_by_stamp[stamp]
                start, dof = GROUPS[group]
                joints = basic.joint_data
                for name in STATE_SEQUENCES:
                    assert list(getattr(decoded, name)) == list(
                        getattr(joints, name)[start:start + dof]), (channel.topic, name)
                cart = cartesian(basic, group)
                assert list(decoded.tcp_pose) == list(cart.tcp_pose)
                assert list(decoded.tcp_wrench_local) == list(cart.tcp_wrench_local)
                force = math.hypot(*decoded.tcp_wrench[:3])  # a rotation keeps the length
                assert force == pytest.approx(math.hypot(*cart.tcp_wrench_local[:3]), rel=1e-9,
                                              abs=1e-9)
            elif kind == "tcp_pose":
                pose = cartesian(raw_by_stamp[stamp], group).tcp_pose
                p, o = decoded.pose.position, decoded.pose.orientation
                assert [p.x, p.y, p.z, o.w, o.x, o.y, o.z] == list(pose)
            elif channel.topic == "/io":
                io = raw_by_stamp[stamp].safety_io
                assert list(decoded.digital_inputs) == list(io.digital_inputs)
                assert list(decoded.digital_outputs) == list(io.digital_outputs)
                assert decoded.estop_released == io.estop_released
            elif group == "rpc":
                assert decoded.request_id == int(kind)
                if list(decoded.string_container[:2]) == ["\\xff\\xfeplan", "node\\x00"]:
                    checked["odd texts"] += 1
    expected = {f"/{g}/{kind}" for g in GROUPS for kind in ("states", "actions", "tcp_pose")}
    assert {t for t, n in checked.items() if n == PER_CHANNEL} >= expected | {"/io"}
    assert checked["/rpc/4"] >= 5  # plan info at 5 Hz over 2 s, less the start-up
    assert checked["odd texts"] == 1
    raw_plans = [bytes(m.data) for m in messages_by_topic(recorded.path)["raw/rpc/4"]]
    assert encode(ODD_PLAN) in raw_plans


@pytest.mark.network
def test_loader_gives_numpy_arrays_per_group(recorded: Recorded, loaded) -> None:
    rec = loaded
    assert rec.complete
    assert set(rec.states) == {"ALL", "ARM_2"} and set(rec.actions) == {"ARM_2"}
    for group in ("ALL", "ARM_2"):
        states = rec.states[group]
        assert states["q"].shape == (len(states["time"]), GROUPS[group][1])
        assert (states["time"][1:] >= states["time"][:-1]).all()
    assert rec.actions["ARM_2"]["q_d"].shape[1] == GROUPS["ARM_2"][1]
    assert list(rec.states["ARM_2"]["q"][5]) == list(rec.states["ALL"]["q"][5][7:14])
    assert rec.io["digital_inputs"].shape[1] == 20
    assert rec.metadata["korvantyr.recording"]["serial_number"] == recorded.serial


# ------------------------------------------------------------------------------------------------
# Replay: the recording played back as the robot


@pytest.mark.network
def test_replay_publishes_the_recorded_samples_and_answers_as_recorded(
        recorded: Recorded, loaded, tmp_path: Path) -> None:
    import korvantyr

    serial = f"REPLAY-{os.getpid()}-1"
    with open(tmp_path / "replay.stderr", "w") as replay_err:
        replay = subprocess.Popen(
            [sys.executable, "-m", "korvantyr_sim", "--replay", str(recorded.path), "--serial",
             serial, "--loop"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=replay_err, text=True, env=sim_env())
    try:
        assert replay.stdout is not None and replay.stdout.readline().strip() == "READY"
        second = tmp_path / "second.mcap"
        proc = recorder(serial, second, "--seconds", "1.5", "--rpc-rate", "0")
        # A client learns its groups from the first sample within 100 ms of start-up; on a busy
        # machine the replay's first sample to a new subscriber can come later: connect again.
        for _ in range(5):
            client = korvantyr.Client(serial, verbose=False)
            if any(s.q for s in client.states().values()):
                break
            del client
        seen = []
        for _ in range(20):
            seen.append(client.states())
            time.sleep(0.02)
        plan = client.plan_info()
        status, _out, err = finished(proc)
        assert status == 0, err
        del client
    finally:
        replay.terminate()
        replay.wait(10)
        assert replay.stdout is not None
        replay.stdout.close()
    assert "Traceback" not in (tmp_path / "replay.stderr").read_text()

    # The second recording holds a stretch of the first's raw samples, in the same order.
    for stream in ("basic", "extra"):
        first = [p for _l, _p, p in raw_samples(recorded.path, stream)]
        again = [p for _l, _p, p in raw_samples(second, stream)]
        assert len(again) > 100, stream
        start = first.index(again[0])
        assert again == [first[(start + i) % len(first)] for i in range(len(again))], stream

    # What a client reads from the replay is what the recording decoded.
    rec = loaded
    compared = 0
    for states in seen:
        for group, s in states.items():
            if group.name not in rec.states:
                continue
            recorded_states = rec.states[group.name]
            stamps = list(zip(recorded_states["stamp_sec"], recorded_states["stamp_nanosec"]))
            i = stamps.index(tuple(s.timestamp))
            assert s.q == list(recorded_states["q"][i])
            assert s.tcp_wrench == list(recorded_states["tcp_wrench"][i])
            compared += 1
    assert compared > 0
    assert plan.node_name  # answered from the recording


# ------------------------------------------------------------------------------------------------
# Faults: a killed recorder, a full disk, a robot that dies and comes back


@pytest.mark.network
def test_killed_recorder_leaves_every_chunk_but_the_last_second(
        netns, tmp_path: Path) -> None:
    serial = f"REC-{os.getpid()}-2"
    path = tmp_path / "killed.mcap"
    with module_sim(tmp_path, serial):
        proc = recorder(serial, path, "--seconds", "30")
        wait_until(lambda: path.exists() and path.stat().st_size > 0, 20, "no file")
        time.sleep(2.5)
        proc.send_signal(signal.SIGKILL)
        finished(proc, timeout=10)
    samples = list(raw_samples(path, "basic"))
    # A chunk is closed every second: without that, 2.5 s at 200 Hz would still sit in the first
    # (4 MiB) chunk in memory, and the file would hold no sample at all.
    assert samples and samples[-1][0] - samples[0][0] > 0.5e9, len(samples)
    assert not load(path, decoded=False).complete
    whole = tmp_path / "whole.mcap"
    assert recover(path, whole) > 0
    with open(whole, "rb") as f:
        reader = mcap_reader.make_reader(f, validate_crcs=True)
        assert reader.get_summary() is not None
        assert sum(1 for _ in reader.iter_messages(topics=["raw/basic_stream_data"])) == len(
            samples)


@pytest.mark.network
def test_full_disk_stops_the_recorder_with_one_line_and_a_readable_file(
        netns, tmp_path: Path) -> None:
    disk = tmp_path / "disk"
    disk.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(disk)], check=True)
    try:
        serial = f"REC-{os.getpid()}-3"
        path = disk / "full.mcap"
        with module_sim(tmp_path, serial):  # about 0.9 MB a second: full within seconds
            proc = recorder(serial, path, "--seconds", "60")
            status, out, err = finished(proc, timeout=90)
        assert status == 1, (out, err)
        [line] = err.splitlines()  # --quiet: that line and nothing else
        assert line.startswith(f"korvantyr-record: cannot write {path}: "), err
        assert "No space left on device" in line, err
        assert "Traceback" not in err
        # The summary does not pass the samples taken in off as written.
        assert out.startswith(f"recording {serial} failed after "), out
        assert "not every sample counted below is in it" in out, out
        assert len(list(raw_samples(path, "basic"))) > 0
    finally:
        subprocess.run(["umount", "-l", str(disk)], check=False)


@pytest.mark.network
def test_recording_goes_on_through_a_robot_killed_and_started_again(
        netns, tmp_path: Path) -> None:
    serial = f"REC-{os.getpid()}-4"
    path = tmp_path / "away.mcap"
    robot = start_controlled_sim(tmp_path, serial, args=["--rate", "200"])
    again = None
    try:
        proc = recorder(serial, path, "--rpc-rate", "5")
        wait_until(lambda: path.exists() and path.stat().st_size > 0, 20, "no file")
        time.sleep(1.0)
        killed_ns = time.time_ns()
        robot.proc.kill()
        robot.stop()
        time.sleep(0.5)
        again = start_controlled_sim(tmp_path, serial, args=["--rate", "200"])
        back_ns = time.time_ns()  # its publishers are declared
        time.sleep(1.5)
        proc.send_signal(signal.SIGTERM)
        status, out, err = finished(proc)
    finally:
        robot.stop()
        if again is not None:
            again.stop()
    assert status == 0, err
    assert "Traceback" not in err
    # Samples from both robots: the recorder's session found the new one by itself.
    logged = [log for log, _publish, _payload in raw_samples(path, "basic")]
    assert any(t < killed_ns for t in logged) and sum(t > back_ns for t in logged) > 50
    with open(path, "rb") as f:
        reader = mcap_reader.make_reader(f)
        meta = {m.name: m.metadata for m in reader.iter_metadata()}
        replies = [m.log_time for _s, _c, m in reader.iter_messages(topics=["raw/rpc/4"])]
    assert any(t > back_ns for t in replies), "the polls did not resume"
    # The time the robot was away is the longest step in its time stamps, in the summary.
    stamps = [decode(AllBasicStreamData, payload) for _l, _p, payload in
              raw_samples(path, "basic")]
    seconds = [b.timestamp_sec + b.timestamp_nsec * 1e-9 for b in stamps]
    away = max(b - a for a, b in zip(seconds, seconds[1:]))
    assert away > 0.5
    summary = meta["korvantyr.summary"]
    assert int(summary["robot_time_gaps"]) >= 1
    assert float(summary["robot_longest_gap_s"]) == pytest.approx(away, abs=2e-3)
    assert f"longest {summary['robot_longest_gap_s']} s" in out, out


@pytest.mark.network
def test_recorder_refuses_a_robot_that_does_not_answer(netns, tmp_path: Path) -> None:
    status, out, err = finished(recorder("NOBODY-HERE-0001", tmp_path / "x.mcap",
                                         "--seconds", "1"))
    assert status == 1
    assert err.startswith("korvantyr-record: Failed to connect to [NOBODY-HERE-0001]"), err
    assert len(err.splitlines()) == 1 and out == ""
    assert not (tmp_path / "x.mcap").exists()
