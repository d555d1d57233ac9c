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
from .robot import PRESETS, Robot
from .service import FAULTS, Options, Service, answer, keys

__all__ = [
    "FAULTS",
    "PRESETS",
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
    "SafetyIoData",
    "Service",
    "answer",
    "decode",
    "encode",
    "keys",
]
