"""Actuator base: the shared vocabulary, state and callbacks of every actuator implementation."""

import logging
from enum import Enum
from typing import Any, Callable, Dict, Optional

__all__ = ["DorozeActuatorBase"]

class DorozeActuatorBase:
    """Internal shared actuator vocabulary, state, and callbacks."""

    _MODELS_NAMES: list[str]
    logger: logging.Logger
    _address: int
    _model: str

    class Mode(Enum):
        """Control modes available for Doroze actuator implementations."""

        FVI = 2
        OPEN_LOOP = 3
        DVI = 4
        TORQUE = 5
        SPEED = 6
        POSITION = 7
        IMPEDANCE = 8

    class Rates(Enum):
        """Feedback update rates for high/low frequency data streams."""

        DISABLED = 0
        RATE_2KHZ = 10
        RATE_1KHZ = 20
        RATE_500HZ = 40
        RATE_200HZ = 100
        RATE_100HZ = 200
        RATE_50HZ = 400
        RATE_20HZ = 1000
        RATE_10HZ = 2000
        RATE_5HZ = 4000
        RATE_2HZ = 10000
        RATE_1HZ = 20000

    class TorquePerformance(Enum):
        """Performance presets for torque control mode."""

        AGGRESSIVE = 1
        BALANCED = 2
        SOFT = 3

    class SpeedPerformance(Enum):
        """Performance presets for speed control mode."""

        AGGRESSIVE = 1
        BALANCED = 2
        SOFT = 3
        CUSTOM = 4

    class _VEZ_Actions(Enum):
        """Internal VEZ action identifiers used in actuator command payloads."""

        START = 1
        STOP = 2
        CHANGE_MODE = 3
        CHANGE_SETPOINT = 4
        CHANGE_SETPOINT_FF = 16
        CHANGE_SETPOINT_TORQUE = 17
        CHANGE_SETPOINT_SPEED = 18
        CHANGE_SETPOINT_POSITION = 19
        CHANGE_SETPOINT_IMPEDANCE = 20
        CHANGE_SETPOINT_SPEED_INTERNAL = 21
        CHANGE_SETPOINT_POSITION_INTERNAL = 22
        SET_FEEDBACK_HIGH_RATE = 6
        SET_FEEDBACK_HIGH_ITEMS = 7
        RESET_ENCODER_POSITION = 10
        SET_PARAMETERS = 11
        GET_PARAMETERS = 12
        SET_TORQUE_PERFORMANCE = 13
        SET_SPEED_PERFORMANCE = 14
        GET_ITEMS = 15
        START_SINE_REF = 56
        SAVE = 57
        PING = 64
        BLINK = 65
        ENTER_BOOTLOADER = 193
        DEBUG_CLEAR_CONFIG = 194
        DEBUG_RESET_INT_ENC = 195
        DEBUG_RESET_EXT_ENC = 196

    class VEZ_Parameters(Enum):
        """Parameters that can be read or written through the actuator API."""

        K_DAMPING = 1
        K_STIFFNESS = 2
        TORQUE_FF = 3
        LIM_TORQUE = 4
        LIM_POSITION_MAX = 5
        LIM_POSITION_MIN = 6
        LIM_SPEED_MAX = 7
        LIM_SPEED_MIN = 8
        PROFILE_POSITION_MAX = 9
        PROFILE_POSITION_MIN = 10
        PROFILE_SPEED_MAX = 11
        PROFILE_SPEED_MIN = 12
        KP_SPEED = 13
        KI_SPEED = 14
        KP_POSITION = 15
        MODE = 48
        SETPOINT = 49
        TORQUE_PERFORMANCE = 64
        SPEED_PERFORMANCE = 65
        PROFILE_SPEED_MAX_RAD_S = 66
        PROFILE_TORQUE_MAX_NM = 67
        INVERT_FLAG = 68
        FF_GAIN = 69
        SPEED_CUTOFF = 70
        CURRENT_CUTOFF = 71
        FIRMWARE_VERSION = 128
        VEZ_ADDRESS = 129
        SERIAL_NUMBER = 130
        DEVICE_MODEL = 131
        CONTROL_VERSION = 132
        CAN_HIGH_SPEED = 133

    class VEZ_Items(Enum):
        """Feedback items available for monitoring actuator state."""

        ENCODER_INT = 65
        ENCODER_INT_RAW = 66
        ENCODER_EXT = 67
        ENCODER_EXT_RAW = 68
        SPEED_FB = 69
        IA = 70
        IB = 71
        IC = 72
        TORQUE_SENS = 73
        TORQUE_SENS_RAW = 74
        POSITION_REF = 75
        POSITION_FB = 76
        POSITION_FB_INTERNAL = 115
        SPEED_REF = 77
        ID_REF = 79
        ID_FB = 80
        IQ_REF = 81
        IQ_FB = 82
        VD_REF = 83
        VQ_REF = 84
        TORQUE_REF = 85
        TORQUE_FB = 86
        REFERENCE_A_VOLTAGE = 87
        REFERENCE_B_VOLTAGE = 88
        REFERENCE_C_VOLTAGE = 89
        BUS_POWER = 90
        BUS_CURRENT = 91
        THREE_PHASE_POWER = 92
        MECHANICAL_POWER = 93
        INVERTER_EFFICIENCY = 94
        MOTOR_EFFICIENCY = 95
        ERRORS_ENCODER_INT = 96
        ERRORS_ENCODER_EXT = 97
        ERRORS_OVERRUN = 98
        ERROR_BITS = 99
        CONTROL_LOOP_TIME_MIN = 100
        CONTROL_LOOP_TIME_MAX = 101
        CONTROL_LOOP_TIME_AVG = 102
        VBUS = 112
        TEMP_PCB = 113
        TEMP_MOTOR = 114
        DEBUG_SIGNAL_BOOL = 144
        DEBUG_SIGNAL01 = 145
        DEBUG_SIGNAL02 = 146
        DEBUG_SIGNAL03 = 147
        DEBUG_SIGNAL04 = 148
        DEBUG_SIGNAL05 = 149
        DEBUG_SIGNAL06 = 150
        DEBUG_SIGNAL07 = 151
        DEBUG_SIGNAL08 = 152
        DEBUG_SIGNAL09 = 153
        DEBUG_SIGNAL10 = 154

    class _VEZ_Other(Enum):
        """Internal VEZ non-action message identifiers."""

        BEACON = 128
        ERRORS = 130
        PARAMETERS = 131

    _feedback_callback: Optional[Callable[[int, dict[Any, Any]], None]]
    _error_callback: Optional[Callable[[int, dict[int, str]], None]]
    _feedback: Dict[Any, Any]
    _low_feedback: Dict[Any, Any]
    _connected: bool
    _got_pong: bool
    _got_parameters: bool
    _parameters: Dict[Any, Any]
    _can_high_speed: bool
    _current_mode: Optional[DorozeActuatorBase.Mode]
    def __init__(self, address: int = 0, logger: Optional[logging.Logger] = None) -> None: ...
    @property
    def connected(self) -> bool: ...
    @property
    def address(self) -> int: ...
    @property
    def model(self) -> str: ...
    @property
    def version(self) -> str: ...
    def set_feedback_callback(self, callback: Optional[Callable[[int, dict[Any, Any]], None]]) -> None: ...
    def set_error_callback(self, callback: Optional[Callable[[int, dict[int, str]], None]]) -> None: ...
    def set_low_freq_feedback_callback(self, callback: Callable[[Any], None]) -> None: ...
    def get_feedback(self) -> Dict[Any, Any]: ...
    @staticmethod
    def is_valid_actuator_address(address: int) -> bool: ...
    def _default_error_callback(self, address: int, errors: dict[int, str]) -> None: ...
    def stop(self) -> None: ...
