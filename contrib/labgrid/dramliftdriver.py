"""dramlift as a labgrid bootstrap driver.

DramliftDriver boots a board built around the Marvell 88F6281 over its serial
line alone: dramlift wakes the board's boot ROM and sends it a bootloader by
XMODEM. When the target has a power driver, the driver switches the board off
and on again each time dramlift is waiting for it, so that nobody has to be
at the board. The serial port is one line: a console driver on the same port
is deactivated for the load and activated again after it.

Use it from an environment file:

    imports:
      - contrib/labgrid/dramliftdriver.py
    tools:
      dramlift: /usr/bin/dramlift
"""
import os
import selectors
import subprocess

import attr

from labgrid.binding import BindingState
from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import BootstrapProtocol, PowerProtocol
from labgrid.resource import NetworkSerialPort
from labgrid.step import step
from labgrid.util.proxy import proxymanager

# What dramlift prints, with -q too, each time it starts to wake the board.
WAITING = b"Waiting for the board to wake up..."


@target_factory.reg_driver
@attr.s(eq=False)
class DramliftDriver(Driver, BootstrapProtocol):
    """Loads a bootloader into the board's DRAM with dramlift.

    Args:
        image (str): optional, the key of the image in the environment's
            images, for load() without a file name
        erase (bool): the bootloader erases the entire flash as it starts
            (dramlift -e)
        tries (int): how many times to try the whole boot (dramlift -n), the
            power cycled each time
        wait (int): seconds to wait for the board's answer at each try
            (dramlift -w); 0 waits as long as it takes
    """
    bindings = {
        "port": {"NetworkSerialPort", "RawSerialPort", "USBSerialPort"},
        "power": {PowerProtocol, None},
    }

    image = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    erase = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    tries = attr.ib(default=1, validator=attr.validators.instance_of(int))
    wait = attr.ib(default=30, validator=attr.validators.instance_of(int))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        tool = self.target.env.config.get_tool("dramlift") if self.target.env else None
        self.tool = tool or "dramlift"

    def _port(self):
        """The port as dramlift -p takes it."""
        if isinstance(self.port, NetworkSerialPort):
            host, port = proxymanager.get_host_and_port(self.port)
            scheme = "socket" if self.port.protocol == "raw" else "rfc2217"
            return f"{scheme}://{host}:{port}"
        return self.port.port

    def _consoles(self):
        """The active drivers that hold the same serial port."""
        return [
            driver for driver in self.target.drivers
            if driver is not self and getattr(driver, "port", None) is self.port
            and driver.state is BindingState.active
        ]

    def _run(self, args):
        """Runs dramlift, cycles the power each time it waits for the board,
        and returns its exit status with what it printed."""
        process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        printed = {process.stdout: b"", process.stderr: b""}
        cycled = 0
        with selectors.DefaultSelector() as streams:
            for stream in printed:
                streams.register(stream, selectors.EVENT_READ)
            while streams.get_map():
                for key, _ in streams.select():
                    data = os.read(key.fileobj.fileno(), 4096)
                    if not data:
                        streams.unregister(key.fileobj)
                    printed[key.fileobj] += data
                while cycled < printed[process.stdout].count(WAITING):
                    cycled += 1
                    if self.power is not None:
                        self.power.cycle()
        return process.wait(), printed[process.stdout], printed[process.stderr]

    @Driver.check_active
    @step(args=["filename"])
    def load(self, filename=None):
        """Boots the bootloader in the file, or else in the driver's image."""
        if filename is None and self.image is not None:
            filename = self.target.env.config.get_image_path(self.image)
        if filename is None:
            raise ExecutionError("DramliftDriver: no image to load")
        args = [self.tool, "-q", "-p", self._port(), "-n", str(self.tries)]
        if self.erase:
            args.append("-e")
        if self.wait > 0:
            args += ["-w", str(self.wait)]
        args.append(filename)

        consoles = self._consoles()
        for console in consoles:
            self.target.deactivate(console)
        try:
            status, out, err = self._run(args)
        finally:
            for console in consoles:
                self.target.activate(console)
        if status != 0:
            said = err.decode(errors="replace").strip()
            raise ExecutionError(
                said or f"dramlift ended with status {status}",
                stdout=out.decode(errors="replace").splitlines(),
                stderr=said.splitlines(),
            )
