"""Port objects: the same calls as the C functions, one object per port.

    kestrix.Servo(0).position = 512      # set_servo_position(0, 512)
    kestrix.Analog(3).value              # analog(3)
    kestrix.Motor(0).move_to(1000, 500)  # mtp(0, 500, 1000)
    kestrix.buttons.A.pressed            # a_button()

A port object holds only its number: every attribute is a fresh call, and a
bad port number gives what the C function gives for it.
"""
from . import _kestrix as _c


def _port(port) -> int:
    if not isinstance(port, int):
        raise TypeError(f"a port number is an int, not {type(port).__name__}")
    return port


class _Port:
    __slots__ = ("port",)

    def __init__(self, port: int):
        self.port = _port(port)

    def __repr__(self):
        return f"kestrix.{type(self).__name__}({self.port})"

    def __eq__(self, other):
        return type(self) is type(other) and self.port == other.port

    def __hash__(self):
        return hash((type(self), self.port))


class Motor(_Port):
    """DC motor port 0 to 3 (see help(kestrix.motor) for units and bad ports)."""

    __slots__ = ()

    def _set_power(self, percent: int) -> None:
        _c.motor(self.port, percent)

    power = property(None, _set_power, doc="Open-loop power in percent (write only): motor().")

    @property
    def position(self) -> int:
        """The position counter in ticks: get_motor_position_counter()."""
        return _c.get_motor_position_counter(self.port)

    @property
    def done(self) -> bool:
        """True once the PID move has finished: get_motor_done()."""
        return _c.get_motor_done(self.port) == 1

    def move_at_velocity(self, velocity: int) -> int:
        """mav(port, velocity)."""
        return _c.move_at_velocity(self.port, velocity)

    def move_to(self, goal: int, speed: int) -> int:
        """mtp(port, speed, goal)."""
        return _c.move_to_position(self.port, speed, goal)

    def move_by(self, distance: int, speed: int) -> int:
        """mrp(port, speed, distance)."""
        return _c.move_relative_position(self.port, speed, distance)

    def wait(self) -> None:
        """bmd(port): until the PID move has finished."""
        _c.block_motor_done(self.port)

    def clear_position(self) -> None:
        """cmpc(port)."""
        _c.clear_motor_position_counter(self.port)

    def off(self) -> None:
        """off(port): coast."""
        _c.off(self.port)

    def freeze(self) -> None:
        """freeze(port): brake."""
        _c.freeze(self.port)


class Servo(_Port):
    """Servo port 0 to 3; positions 0 to 1023 (see help(kestrix.set_servo_position))."""

    __slots__ = ()

    @property
    def position(self) -> int:
        """The commanded position, 0 to 1023: get_servo_position() and
        set_servo_position() (which does not enable the port)."""
        return _c.get_servo_position(self.port)

    @position.setter
    def position(self, position: int) -> None:
        _c.set_servo_position(self.port, position)

    @property
    def enabled(self) -> bool:
        """Whether the port sends pulses: get_servo_enabled(), set_servo_enabled()."""
        return _c.get_servo_enabled(self.port) == 1

    @enabled.setter
    def enabled(self, enabled: bool) -> None:
        _c.set_servo_enabled(self.port, int(bool(enabled)))


class Analog(_Port):
    """Analog input 0 to 5 (see help(kestrix.analog))."""

    __slots__ = ()

    @property
    def value(self) -> int:
        """analog(): 0 to 4095, pull-up on."""
        return _c.analog(self.port)

    @property
    def value8(self) -> int:
        """analog8(): 0 to 255."""
        return _c.analog8(self.port)

    @property
    def value10(self) -> int:
        """analog10(): 0 to 1023."""
        return _c.analog10(self.port)

    @property
    def value_et(self) -> int:
        """analog_et(): 0 to 4095, pull-up off."""
        return _c.analog_et(self.port)

    @property
    def pullup(self) -> bool:
        """get_analog_pullup(), set_analog_pullup()."""
        return _c.get_analog_pullup(self.port) == 1

    @pullup.setter
    def pullup(self, on: bool) -> None:
        _c.set_analog_pullup(self.port, int(bool(on)))


class Digital(_Port):
    """Digital pin 0 to 15 (see help(kestrix.digital))."""

    __slots__ = ()

    @property
    def touched(self) -> bool:
        """digital(): True while the pin reads level 0."""
        return _c.digital(self.port) == 1

    @property
    def value(self) -> bool:
        """The pin's level: get_digital_value(), set_digital_value()."""
        return _c.get_digital_value(self.port) == 1

    @value.setter
    def value(self, level: bool) -> None:
        _c.set_digital_value(self.port, int(bool(level)))

    @property
    def output(self) -> bool:
        """True while an output: get_digital_output(), set_digital_output()."""
        return _c.get_digital_output(self.port) == 1

    @output.setter
    def output(self, output: bool) -> None:
        _c.set_digital_output(self.port, int(bool(output)))

    @property
    def pullup(self) -> bool:
        """get_digital_pullup(), set_digital_pullup()."""
        return _c.get_digital_pullup(self.port) == 1

    @pullup.setter
    def pullup(self, on: bool) -> None:
        _c.set_digital_pullup(self.port, int(bool(on)))


class Button:
    """One of the controller's buttons: buttons.A .. buttons.Z, buttons.side."""

    __slots__ = ("name", "_pressed", "_clicked", "_wait", "_wait_clicked", "_text")

    def __init__(self, name: str):
        self.name = name
        self._pressed = getattr(_c, f"{name}_button")
        self._clicked = getattr(_c, f"{name}_button_clicked")
        self._wait = getattr(_c, f"wait_for_{name}_button")
        self._wait_clicked = getattr(_c, f"wait_for_{name}_button_clicked")
        self._text = getattr(_c, f"set_{name}_button_text", None)

    def __repr__(self):
        return f"kestrix.buttons.{'side' if self.name == 'side' else self.name.upper()}"

    @property
    def pressed(self) -> bool:
        """True while the button is held down."""
        return self._pressed() == 1

    @property
    def clicked(self) -> bool:
        """True if pressed, returning once released; False at once otherwise."""
        return self._clicked() == 1

    def wait(self) -> None:
        """Until the button is pressed."""
        self._wait()

    def wait_clicked(self) -> None:
        """Until the button has been pressed and released."""
        self._wait_clicked()

    def _set_text(self, text: str) -> None:
        if self._text is None:
            raise AttributeError("the side button has no label")
        self._text(text)

    text = property(None, _set_text, doc="The button's label (write only).")


class _Buttons:
    """The controller's buttons: A, B, C, X, Y, Z and side."""

    __slots__ = ("A", "B", "C", "X", "Y", "Z", "side")

    def __init__(self):
        for name in ("a", "b", "c", "x", "y", "z"):
            setattr(self, name.upper(), Button(name))
        self.side = Button("side")

    @property
    def any(self) -> bool:
        """True while any of the seven buttons is pressed."""
        return _c.any_button() == 1

    def __iter__(self):
        return iter((self.A, self.B, self.C, self.X, self.Y, self.Z, self.side))

    @property
    def extra_visible(self) -> bool:
        """get_extra_buttons_visible(), set_extra_buttons_visible()."""
        return _c.get_extra_buttons_visible() == 1

    @extra_visible.setter
    def extra_visible(self, visible: bool) -> None:
        _c.set_extra_buttons_visible(int(bool(visible)))


buttons = _Buttons()
