"""A simulated robot for korvantyr: publishes the robot's data streams and answers its remote
procedures over Zenoh, written against eclipse-zenoh only."""

from .messages import (
    AllBasicStreamData,
    AllExtraStreamData,
    CartesianStateData,
    DesiredCartesianData,
    DesiredJointData,
    JointStateData,
    RPCReply,
    RPCRequest,
    SafetyIoData,
    decode,
    encode,
)
from .faults import HUGE_COUNT, RPC_BEHAVIOURS, STREAM_FAULTS, Rule, faulty_payload
from .robot import PRESETS, Robot, custom_preset
from .service import FAULTS, Options, Service, answer, keys

__all__ = [
    "FAULTS",
    "HUGE_COUNT",
    "PRESETS",
    "RPC_BEHAVIOURS",
    "STREAM_FAULTS",
    "AllBasicStreamData",
    "AllExtraStreamData",
    "CartesianStateData",
    "DesiredCartesianData",
    "DesiredJointData",
    "JointStateData",
    "Options",
    "RPCReply",
    "RPCRequest",
    "Robot",
    "Rule",
    "SafetyIoData",
    "Service",
    "answer",
    "custom_preset",
    "decode",
    "encode",
    "faulty_payload",
    "keys",
]
