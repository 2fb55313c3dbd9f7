"""DramliftDriver and DramliftStrategy in labgrid: the board from off to
U-Boot's prompt through a port server set up as labgrid's exporter sets it
up, a state forced, and the driver's failures, each of which must leave no
dramlift running and give the port back to the console."""
import logging
import os
import subprocess
import time

import pytest

from labgrid import Target
from labgrid.driver import ExternalPowerDriver, SerialDriver
from labgrid.driver.exception import ExecutionError
from labgrid.resource import RawSerialPort

from dramliftdriver import DramliftDriver

BOARD = os.environ["DRAMLIFT_BOARD"]


def test_boots_from_off_to_the_loader_prompt(target, strategy, caplog):
    caplog.set_level(logging.INFO)
    strategy.transition("uboot")
    uboot = target.get_driver("UBootDriver")
    output = uboot.run_check("echo booted by dramlift; version")
    assert output[0] == "booted by dramlift"
    assert output[1].startswith("U-Boot 20")
    # dramlift's own lines went to labgrid's log.
    assert "Successfully downloaded" in caplog.text


def test_a_state_can_be_forced(target, strategy):
    # The board is at the prompt: labgrid-client --initial-state uboot.
    strategy.force("uboot")
    assert target.get_driver("UBootDriver").run_check("echo forced") == ["forced"]


@pytest.fixture
def board(tmp_path):
    """Starts the board emulator with the arguments given; yields its
    device, and afterwards what it said."""
    started = []

    def start(*args):
        emulator = subprocess.Popen([BOARD, *args], stdout=subprocess.PIPE, text=True)
        started.append(emulator)
        return emulator.stdout.readline().strip()

    yield start
    for emulator in started:
        emulator.terminate()
        emulator.wait()


class HandOnThePowerSwitch(logging.Handler):
    """Switches the board on once the log has asked for it and dramlift
    runs, as its user would."""

    def __init__(self, power_file):
        super().__init__()
        self.power_file = power_file
        self.asked = False

    def emit(self, record):
        message = record.getMessage()
        self.asked = self.asked or "reset the board by hand" in message
        if self.asked and "] command: " in message:
            self.power_file.touch()


def local_target(env, device, power_file, power_works=True, **driver_args):
    """A target on a local port with a console, and a power driver unless
    power_works is None (a board switched on by hand)."""
    target = Target(f"local-{time.monotonic_ns()}", env=env)
    RawSerialPort(target, None, port=device, speed=115200)
    if power_works is not None:
        ExternalPowerDriver(target, None, cmd_on=f"touch {power_file}" if power_works else "false",
                            cmd_off=f"rm -f {power_file}", delay=0.1)
    SerialDriver(target, None)
    DramliftDriver(target, None, **driver_args)
    return target


# Each board stays on its device after the tool (--repeat), for the console.
CASES = {
    "a local port": ([], {}, None),
    "no power driver": ([], {"power_works": None}, None),
    "dramlift fails": (["--fail-first", "1"], {}, "The board cancelled the transfer."),
    "the power driver raises": ([], {"power_works": False}, "The reset command failed"),
    "the load takes too long": (["--wake-after", "60000"], {"wait": 0, "timeout": 1.5},
                                "did not end within 1.5 s"),
    "dramlift missing": ([], {"tool": "/nonexistent/dramlift"}, "not found"),
}


@pytest.mark.parametrize("case", CASES)
def test_the_port_goes_back_to_the_console_and_nothing_is_left(env, board, tmp_path, caplog,
                                                                case):
    board_args, driver_args, failure = CASES[case]
    power = tmp_path / "power"
    device = board("--repeat", "--power-file", str(power), "--window", "300", *board_args)
    tool = driver_args.pop("tool", None)
    target = local_target(env, device, power, power_works=driver_args.pop("power_works", True),
                          **driver_args)
    console = target.get_driver("SerialDriver")
    dramlift = target.get_driver("DramliftDriver", activate=False)
    dramlift.tool = tool or dramlift.tool
    dramlift.logger.addHandler(HandOnThePowerSwitch(power))
    target.activate(dramlift)
    image = tmp_path / "boot.bin"
    subprocess.run(["sh", os.environ["DRAMLIFT_SAMPLE_IMAGE"], str(image)], check=True)
    if failure is None:
        caplog.set_level(logging.INFO)
        dramlift.load(str(image))
        assert ("reset the board by hand" in caplog.text) == (case == "no power driver")
    else:
        with pytest.raises(ExecutionError, match=failure) as raised:
            dramlift.load(str(image))
        if case == "the power driver raises":
            assert isinstance(raised.value.__cause__, subprocess.CalledProcessError)
    assert console.state.name == "active"
    assert subprocess.run(["pgrep", "-f", str(image)]).returncode == 1, "dramlift left running"


def test_tries_below_one_are_refused(env):
    target = Target("refused", env=env)
    RawSerialPort(target, None, port="/dev/null", speed=115200)
    with pytest.raises(ValueError, match="tries must be 1 or more"):
        DramliftDriver(target, None, tries=0)
