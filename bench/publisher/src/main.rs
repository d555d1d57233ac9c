//! kvn-bench-publisher: publishes one robot's basic and extra data streams at a fixed rate with
//! little CPU, for the end-to-end benchmark (bench/perf.py).
//!
//!   kvn-bench-publisher --serial SN [--groups ARM_1:7,ARM_2:7,EXT_AXIS:2] [--rate HZ]
//!                       [--duration SECONDS] [--ring N] [--paused]
//!
//! The payloads are real AllBasicStreamData / AllExtraStreamData records written with Zenoh's
//! serializer in the wire order of messages/stream_messages.h, made once as a ring of N samples
//! whose values move from one sample to the next. Each tick of the absolute schedule puts one
//! sample on each stream with CongestionControl::Block, so nothing is dropped: a subscriber that
//! cannot keep up slows the publisher down instead, and the achieved rate shows it. A late tick is
//! caught up at once; a stall longer than a second restarts the schedule instead of bursting.
//!
//! Prints "READY" once both publishers are declared. Commands on stdin, one per line, each
//! answered with one line on stdout by the publishing thread once it has taken effect:
//!   count       "OK count basic N extra M seconds S cpu C": samples put on each stream, seconds
//!               since start, CPU seconds of the whole process (CLOCK_PROCESS_CPUTIME_ID)
//!   rate HZ     "OK rate HZ": the new rate, on a fresh schedule from now
//!   pause       "OK pause" after the last put; resume: "OK resume"
//!   quit        "OK quit", then exits; so does the end of stdin (without a line)
//! Anything else: "ERR <line>". Exit status 0; 2 for a usage error; 1 when Zenoh fails.
//! Threads: the main thread reads stdin and hands commands over a channel to the publishing
//! thread, which owns the publishers, the ring and the counts.

use std::io::{BufRead, Write};
use std::sync::mpsc::{self, Receiver, RecvTimeoutError, TryRecvError};
use std::time::{Duration, Instant, SystemTime, UNIX_EPOCH};

use zenoh::bytes::{Encoding, ZBytes};
use zenoh::qos::CongestionControl;
use zenoh::Wait;
use zenoh_ext::ZSerializer;

const ALL: u16 = 0;
const ARMS: u16 = 2;
const ARM_1: u16 = 3;
const ARM_2: u16 = 4;
const EXT_AXIS: u16 = 5;
const MAX_GROUP_DOF: usize = 64;
const N_IO: usize = 20;
const N_AUX_FLAGS: usize = 8;
// Behind the schedule by more than this, the publisher starts a new schedule instead of bursting.
const MAX_BACKLOG: Duration = Duration::from_secs(1);

#[derive(Clone, Copy, Debug, PartialEq)]
struct Group {
    number: u16,
    start: usize,
    dof: usize,
}

/// The robot's groups from "NAME:DOF,..." (ARM_1, ARM_2, EXT_AXIS in joint order), as the
/// simulated robot's --groups makes them: ALL spans every joint, ARMS is added when ARM_2 directly
/// follows ARM_1. Sorted by group number, which is the order of joint_group_indices.
fn parse_groups(text: &str) -> Result<Vec<Group>, String> {
    let mut groups: Vec<Group> = Vec::new();
    let mut start = 0;
    for item in text.split(',').map(str::trim) {
        let (name, dof) = item
            .split_once(':')
            .ok_or_else(|| format!("{item:?}: expected NAME:DOF"))?;
        let number = match name.trim().to_ascii_uppercase().as_str() {
            "ARM_1" => ARM_1,
            "ARM_2" => ARM_2,
            "EXT_AXIS" => EXT_AXIS,
            _ => return Err(format!("{item:?}: NAME must be ARM_1, ARM_2 or EXT_AXIS")),
        };
        let dof: usize = dof.trim().parse().map_err(|_| format!("{item:?}: bad DoF"))?;
        if dof == 0 || dof > MAX_GROUP_DOF {
            return Err(format!("{item:?}: DoF must be from 1 to {MAX_GROUP_DOF}"));
        }
        if groups.iter().any(|g| g.number == number) {
            return Err(format!("{name} given twice"));
        }
        groups.push(Group { number, start, dof });
        start += dof;
    }
    groups.push(Group { number: ALL, start: 0, dof: start });
    let find = |n: u16| groups.iter().copied().find(|g| g.number == n);
    if let (Some(a), Some(b)) = (find(ARM_1), find(ARM_2)) {
        if b.start == a.start + a.dof {
            groups.push(Group { number: ARMS, start: a.start, dof: a.dof + b.dof });
        }
    }
    groups.sort_by_key(|g| g.number);
    Ok(groups)
}

// ------------------------------------------------------------------------------------------------
// Payloads, field by field in wire order

fn floats(s: &mut ZSerializer, values: &[f32]) {
    s.serialize(values);
}

fn unit_quaternion(t: f64, seed: f64) -> [f64; 4] {
    let angle = 0.8 * (0.3 * t + seed).sin();
    let (ax, ay, az) = ((0.1 * t + seed).cos(), (0.1 * t + seed).sin(), 0.5 + 0.3 * (0.07 * t).sin());
    let norm = (ax * ax + ay * ay + az * az).sqrt();
    let s = (angle / 2.0).sin() / norm;
    [(angle / 2.0).cos(), ax * s, ay * s, az * s]
}

fn pose(t: f64, seed: f64) -> [f32; 7] {
    let q = unit_quaternion(t, seed);
    [
        (0.45 + 0.1 * (0.5 * t + seed).sin()) as f32,
        (0.1 * (0.5 * t + seed).cos()) as f32,
        (0.6 + 0.05 * (0.9 * t + seed).sin()) as f32,
        q[0] as f32,
        q[1] as f32,
        q[2] as f32,
        q[3] as f32,
    ]
}

fn wrench(t: f64, seed: f64, load: f64) -> [f32; 6] {
    let w = 0.5 * (2.0 * t + seed).sin();
    [w, 0.3 * w, -9.81 * load + w, 0.05 * w, -0.02 * w, 0.01 * w].map(|v| v as f32)
}

fn offset<const N: usize>(values: [f32; N], by: f32) -> [f32; N] {
    values.map(|v| v + by)
}

fn bits(t: f64, count: usize, period: f64, shift: usize) -> Vec<bool> {
    (0..count).map(|i| ((t / (period * (i + 1) as f64)) as usize + shift + i) % 2 == 1).collect()
}

fn joint_vector(n: usize, f: impl Fn(usize) -> f64) -> Vec<f32> {
    (0..n).map(|j| f(j) as f32).collect()
}

/// AllBasicStreamData at robot time `t`, stamped `stamp` (seconds, nanoseconds).
fn basic_payload(groups: &[Group], t: f64, stamp: (i32, u32)) -> ZBytes {
    let n = groups.iter().find(|g| g.number == ALL).map_or(0, |g| g.dof);
    let phase = |j: usize| 0.4 * j as f64;
    let mut s = ZSerializer::new();
    // safety_io
    s.serialize((t as u64 % 4) as u16);
    s.serialize((100.0 * (0.2 * t).sin()) as i16);
    s.serialize(true);
    s.serialize((t / 5.0) as u64 % 2 == 0);
    s.serialize(bits(t, N_AUX_FLAGS, 3.0, 0).as_slice());
    s.serialize(bits(t, N_IO, 2.0, 0).as_slice());
    s.serialize(bits(t, N_IO, 2.5, 1).as_slice());
    s.serialize(groups.iter().map(|g| g.number).collect::<Vec<u16>>());
    // joint_data: nine vectors, then the two lists of triples
    let q = joint_vector(n, |j| 0.6 * ((0.5 + 0.02 * j as f64) * t + phase(j)).sin());
    let dq = joint_vector(n, |j| 0.3 * ((0.5 + 0.02 * j as f64) * t + phase(j)).cos());
    floats(&mut s, &q);
    floats(&mut s, &joint_vector(n, |j| q[j] as f64 + 1e-3 * (3.0 * t).sin()));
    floats(&mut s, &dq);
    floats(&mut s, &joint_vector(n, |j| dq[j] as f64 * 1.001));
    floats(&mut s, &joint_vector(n, |j| 5.0 * (0.7 * t + phase(j)).sin()));
    floats(&mut s, &joint_vector(n, |j| 3.5 * (0.7 * t + phase(j)).cos()));
    floats(&mut s, &joint_vector(n, |j| 0.2 * (1.3 * t + phase(j)).sin()));
    floats(&mut s, &joint_vector(n, |j| 0.1 * (1.1 * t + phase(j)).sin()));
    floats(&mut s, &joint_vector(n, |j| 35.0 + 2.0 * (0.01 * t + phase(j)).sin()));
    s.serialize((0..n).map(|j| [q[j], dq[j], 0.0f32]).collect::<Vec<[f32; 3]>>());
    s.serialize((0..n).map(|j| [j as f32, 0.0f32, 1.0f32]).collect::<Vec<[f32; 3]>>());
    // cartesian_data: one record per group, in the order of joint_group_indices
    s.serialize(zenoh_ext::VarInt(groups.len()));
    for g in groups {
        let seed = 0.7 * g.number as f64;
        let local = wrench(t, seed, 1.0 + 0.1 * g.number as f64);
        s.serialize(pose(t - 0.01, seed));
        s.serialize(pose(t, seed));
        s.serialize([0.05 * (0.5 * t + seed).cos(), -0.05 * (0.5 * t + seed).sin(),
                     0.045 * (0.9 * t + seed).cos(), 0.0, 0.0, 0.1 * (0.3 * t + seed).cos()]
            .map(|v: f64| v as f32));
        s.serialize(local);
        s.serialize([0.0f32; 6]);
        s.serialize(offset(local, 0.05));
        s.serialize(offset(local, 0.1));
    }
    s.serialize(stamp.0);
    s.serialize(stamp.1);
    s.finish()
}

/// AllExtraStreamData at robot time `t`: the commanded motion a few milliseconds ahead.
fn extra_payload(groups: &[Group], t: f64) -> ZBytes {
    let n = groups.iter().find(|g| g.number == ALL).map_or(0, |g| g.dof);
    let lead = t + 0.005;
    let phase = |j: usize| 0.4 * j as f64;
    let mut s = ZSerializer::new();
    s.serialize(groups.iter().map(|g| g.number).collect::<Vec<u16>>());
    floats(&mut s, &joint_vector(n, |j| 0.6 * ((0.5 + 0.02 * j as f64) * lead + phase(j)).sin()));
    floats(&mut s, &joint_vector(n, |j| 0.3 * ((0.5 + 0.02 * j as f64) * lead + phase(j)).cos()));
    floats(&mut s, &joint_vector(n, |j| 5.0 * (0.7 * t + phase(j)).sin()));
    s.serialize(zenoh_ext::VarInt(groups.len()));
    for g in groups {
        let seed = 0.7 * g.number as f64;
        s.serialize(pose(lead, seed));
        s.serialize([0.05 * (0.5 * t).cos(), -0.05 * (0.5 * t).sin(), 0.0, 0.0, 0.0, 0.0]
            .map(|v: f64| v as f32));
        s.serialize(wrench(t, seed, 1.0));
    }
    s.finish()
}

// ------------------------------------------------------------------------------------------------
// Clocks

#[repr(C)]
struct Timespec {
    tv_sec: i64,
    tv_nsec: i64,
}

extern "C" {
    fn clock_gettime(clock: i32, ts: *mut Timespec) -> i32;
}

const CLOCK_PROCESS_CPUTIME_ID: i32 = 2;

/// CPU time of every thread of this process, in seconds.
fn process_cpu_seconds() -> f64 {
    let mut ts = Timespec { tv_sec: 0, tv_nsec: 0 };
    // SAFETY: ts is a valid, writable timespec of the platform's layout (x86-64 and aarch64 Linux).
    if unsafe { clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &mut ts) } != 0 {
        return f64::NAN;
    }
    ts.tv_sec as f64 + ts.tv_nsec as f64 * 1e-9
}

// ------------------------------------------------------------------------------------------------
// The publishing loop

enum Command {
    Count,
    Rate(f64),
    Pause,
    Resume,
    Quit,
}

fn parse_command(line: &str) -> Option<Command> {
    let words: Vec<&str> = line.split_whitespace().collect();
    match words.as_slice() {
        ["count"] => Some(Command::Count),
        ["pause"] => Some(Command::Pause),
        ["resume"] => Some(Command::Resume),
        ["quit"] => Some(Command::Quit),
        ["rate", hz] => hz.parse::<f64>().ok().filter(|r| *r > 0.0 && r.is_finite()).map(Command::Rate),
        _ => None,
    }
}

fn answer(text: &str) {
    let mut out = std::io::stdout().lock();
    let _ = writeln!(out, "{text}");
    let _ = out.flush();
}

struct Streams<'a> {
    basic: zenoh::pubsub::Publisher<'a>,
    extra: zenoh::pubsub::Publisher<'a>,
    ring: Vec<(ZBytes, ZBytes)>,
    next: usize,
    put: u64, // samples put on each stream (always the same number on both)
}

impl Streams<'_> {
    fn put_one(&mut self) -> zenoh::Result<()> {
        let (basic, extra) = &self.ring[self.next];
        self.basic.put(basic.clone()).wait()?;
        self.extra.put(extra.clone()).wait()?;
        self.next = (self.next + 1) % self.ring.len();
        self.put += 1;
        Ok(())
    }
}

/// Publishes until `quit`, the end of the commands or `end`. Returns (samples per stream, seconds
/// spent publishing).
fn publish(streams: &mut Streams, commands: Receiver<Command>, rate: f64, paused: bool,
           end: Option<Instant>) -> zenoh::Result<(u64, f64)> {
    let started = Instant::now();
    let mut period = Duration::from_secs_f64(1.0 / rate);
    let mut schedule_start = Instant::now();
    let mut ticks: u64 = 0; // ticks of the current schedule already published
    let mut paused = paused;
    let mut active = Duration::ZERO; // time spent publishing (not paused)
    let mut active_since = if paused { None } else { Some(Instant::now()) };
    loop {
        let command = if paused {
            match commands.recv_timeout(Duration::from_millis(100)) {
                Ok(c) => Some(c),
                Err(RecvTimeoutError::Timeout) => None,
                Err(RecvTimeoutError::Disconnected) => Some(Command::Quit),
            }
        } else {
            match commands.try_recv() {
                Ok(c) => Some(c),
                Err(TryRecvError::Empty) => None,
                Err(TryRecvError::Disconnected) => Some(Command::Quit),
            }
        };
        if let Some(command) = command {
            match command {
                Command::Count => {
                    let put = streams.put;
                    answer(&format!("OK count basic {put} extra {put} seconds {:.6} cpu {:.6}",
                                    started.elapsed().as_secs_f64(), process_cpu_seconds()));
                }
                Command::Rate(hz) => {
                    period = Duration::from_secs_f64(1.0 / hz);
                    schedule_start = Instant::now();
                    ticks = 0;
                    answer(&format!("OK rate {hz}"));
                }
                Command::Pause => {
                    if let Some(since) = active_since.take() {
                        active += since.elapsed();
                    }
                    paused = true;
                    answer("OK pause");
                }
                Command::Resume => {
                    if paused {
                        paused = false;
                        active_since = Some(Instant::now());
                        schedule_start = Instant::now();
                        ticks = 0;
                    }
                    answer("OK resume");
                }
                Command::Quit => break,
            }
            continue;
        }
        if end.is_some_and(|e| Instant::now() >= e) {
            break;
        }
        if paused {
            continue;
        }
        let due = schedule_start + period.mul_f64(ticks as f64);
        let now = Instant::now();
        if due > now {
            // At most a few milliseconds at a time, so that commands are taken up promptly.
            std::thread::sleep((due - now).min(Duration::from_millis(5)));
            continue;
        }
        if now - due > MAX_BACKLOG {
            schedule_start = now;
            ticks = 0;
        }
        streams.put_one()?;
        ticks += 1;
    }
    if let Some(since) = active_since {
        active += since.elapsed();
    }
    Ok((streams.put, active.as_secs_f64()))
}

// ------------------------------------------------------------------------------------------------

struct Args {
    serial: String,
    groups: Vec<Group>,
    rate: f64,
    duration: Option<f64>,
    ring: usize,
    paused: bool,
}

const USAGE: &str = "usage: kvn-bench-publisher --serial SN [--groups NAME:DOF,...] [--rate HZ] \
                     [--duration SECONDS] [--ring N] [--paused]";

fn parse_args() -> Result<Args, String> {
    let mut args = Args {
        serial: String::new(),
        groups: parse_groups("ARM_1:7,ARM_2:7,EXT_AXIS:2")?,
        rate: 1000.0,
        duration: None,
        ring: 500,
        paused: false,
    };
    let mut it = std::env::args().skip(1);
    while let Some(flag) = it.next() {
        if flag == "--help" || flag == "-h" {
            println!("{USAGE}");
            std::process::exit(0);
        }
        if flag == "--paused" {
            args.paused = true;
            continue;
        }
        let value = it.next().ok_or_else(|| format!("{flag} needs a value"))?;
        let positive = |v: &str| v.parse::<f64>().ok().filter(|x| *x > 0.0 && x.is_finite());
        match flag.as_str() {
            "--serial" => args.serial = value,
            "--groups" => args.groups = parse_groups(&value)?,
            "--rate" => args.rate = positive(&value).ok_or("--rate must be positive")?,
            "--duration" => {
                args.duration = Some(positive(&value).ok_or("--duration must be positive")?)
            }
            "--ring" => {
                args.ring = value.parse().ok().filter(|n| *n > 0).ok_or("--ring must be >= 1")?
            }
            _ => return Err(format!("unknown option {flag}")),
        }
    }
    if args.serial.is_empty() {
        return Err("--serial is required".into());
    }
    Ok(args)
}

fn run(args: Args) -> zenoh::Result<()> {
    let session = zenoh::open(zenoh::Config::default()).wait()?;
    let key = |suffix: &str| format!("korvan/robot/{}/{suffix}", args.serial);
    let declare = |suffix: &str| {
        session
            .declare_publisher(key(suffix))
            .encoding(Encoding::ZENOH_SERIALIZED)
            .congestion_control(CongestionControl::Block)
            .wait()
    };
    let wall = SystemTime::now().duration_since(UNIX_EPOCH).unwrap_or_default();
    let ring = (0..args.ring)
        .map(|k| {
            let t = k as f64 / args.rate;
            let stamp = wall + Duration::from_secs_f64(t);
            (basic_payload(&args.groups, t, (stamp.as_secs() as i32, stamp.subsec_nanos())),
             extra_payload(&args.groups, t))
        })
        .collect();
    let mut streams = Streams {
        basic: declare("basic_stream_data")?,
        extra: declare("extra_stream_data")?,
        ring,
        next: 0,
        put: 0,
    };

    let (sender, commands) = mpsc::channel();
    std::thread::spawn(move || {
        for line in std::io::stdin().lock().lines() {
            let Ok(line) = line else { break };
            if line.trim().is_empty() {
                continue;
            }
            match parse_command(&line) {
                Some(command) => {
                    if sender.send(command).is_err() {
                        break;
                    }
                }
                None => answer(&format!("ERR {line}")),
            }
        }
        // Dropping the sender ends the publishing loop.
    });
    answer("READY");
    let end = args.duration.map(|d| Instant::now() + Duration::from_secs_f64(d));
    let (put, seconds) = publish(&mut streams, commands, args.rate, args.paused, end)?;
    answer("OK quit");
    eprintln!("kvn-bench-publisher: {put} samples per stream in {seconds:.3} s of publishing, \
               {:.1} Hz per stream", if seconds > 0.0 { put as f64 / seconds } else { 0.0 });
    drop(streams);
    session.close().wait()?;
    Ok(())
}

fn main() {
    let args = match parse_args() {
        Ok(a) => a,
        Err(e) => {
            eprintln!("kvn-bench-publisher: {e}\n{USAGE}");
            std::process::exit(2);
        }
    };
    if let Err(e) = run(args) {
        eprintln!("kvn-bench-publisher: {e}");
        std::process::exit(1);
    }
}

#[cfg(test)]
mod tests {
    use super::*;
    use zenoh_ext::ZDeserializer;

    #[test]
    fn groups_are_laid_out_as_the_simulated_robot_does() {
        let g = parse_groups("ARM_1:24,ARM_2:24,EXT_AXIS:8").unwrap();
        let numbers: Vec<(u16, usize, usize)> = g.iter().map(|g| (g.number, g.start, g.dof)).collect();
        assert_eq!(numbers, vec![(0, 0, 56), (2, 0, 48), (3, 0, 24), (4, 24, 24), (5, 48, 8)]);
        assert!(parse_groups("ARM_1:7,ARM_1:7").is_err());
        assert!(parse_groups("ARM_3:2").is_err());
        assert!(parse_groups("ARM_1:0").is_err());
    }

    #[test]
    fn basic_payload_reads_back_in_wire_order_to_the_end() {
        let groups = parse_groups("ARM_1:7,EXT_AXIS:2").unwrap();
        let payload = basic_payload(&groups, 1.5, (7, 9));
        let mut d = ZDeserializer::new(&payload);
        let _: (u16, i16, bool, bool) = (d.deserialize().unwrap(), d.deserialize().unwrap(),
                                         d.deserialize().unwrap(), d.deserialize().unwrap());
        let _: [bool; 8] = d.deserialize().unwrap();
        let _: [bool; 20] = d.deserialize().unwrap();
        let _: [bool; 20] = d.deserialize().unwrap();
        assert_eq!(d.deserialize::<Vec<u16>>().unwrap(), vec![0, 3, 5]);
        for _ in 0..9 {
            assert_eq!(d.deserialize::<Vec<f32>>().unwrap().len(), 9);
        }
        for _ in 0..2 {
            assert_eq!(d.deserialize::<Vec<[f32; 3]>>().unwrap().len(), 9);
        }
        assert_eq!(d.deserialize::<zenoh_ext::VarInt<usize>>().unwrap().0, 3);
        for _ in 0..3 {
            let _: ([f32; 7], [f32; 7]) = (d.deserialize().unwrap(), d.deserialize().unwrap());
            for _ in 0..5 {
                let _: [f32; 6] = d.deserialize().unwrap();
            }
        }
        assert_eq!((d.deserialize::<i32>().unwrap(), d.deserialize::<u32>().unwrap()), (7, 9));
        assert!(d.done());
    }

    #[test]
    fn extra_payload_reads_back_in_wire_order_to_the_end() {
        let groups = parse_groups("ARM_1:7,ARM_2:7").unwrap();
        let payload = extra_payload(&groups, 0.25);
        let mut d = ZDeserializer::new(&payload);
        assert_eq!(d.deserialize::<Vec<u16>>().unwrap(), vec![0, 2, 3, 4]);
        for _ in 0..3 {
            assert_eq!(d.deserialize::<Vec<f32>>().unwrap().len(), 14);
        }
        assert_eq!(d.deserialize::<zenoh_ext::VarInt<usize>>().unwrap().0, 4);
        for _ in 0..4 {
            let _: ([f32; 7], [f32; 6], [f32; 6]) =
                (d.deserialize().unwrap(), d.deserialize().unwrap(), d.deserialize().unwrap());
        }
        assert!(d.done());
    }
}
