"""dramlift as a labgrid bootstrap driver.

DramliftDriver boots a board built around the Marvell 88F6281 over its serial
line alone: dramlift wakes the board's boot ROM and sends it a bootloader by
XMODEM. When the target has a power driver, dramlift's reset command (-r) asks
the driver to cycle the board's power, at every try, over a socket that the
driver holds for the load: the tool's own rules for its reset command (when it
runs, what its failure does, how long it may take) hold for a farm too.
Without a power driver the board must be reset by hand, which the log says.
The serial port is one line: a console driver on the same port is deactivated
for the load and activated again after it, whichever way the load ends.

Use it from an environment file:

    imports:
      - contrib/labgrid/dramliftdriver.py
    tools:
      dramlift: /usr/bin/dramlift
"""
import logging
import os
import selectors
import shlex
import socket
import subprocess
import sys
import tempfile
import time

import attr

from labgrid.binding import BindingState
from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.protocol import BootstrapProtocol, PowerProtocol
from labgrid.resource import NetworkSerialPort
from labgrid.step import step
from labgrid.util.proxy import proxymanager

# The reset command that dramlift runs: it asks the driver to cycle the power
# and ends when the cycle is done (status 0) or has failed (status 1, the
# driver's words on standard error, which dramlift passes on).
CYCLE_REQUEST = """
import socket, sys
link = socket.socket(socket.AF_UNIX)
link.connect(sys.argv[1])
link.sendall(b"cycle\\n")
answer = link.makefile("rb").readline().decode(errors="replace").strip()
if answer != "done":
    sys.exit("The power cycle failed: " + (answer or "no answer from labgrid"))
"""

# How long dramlift has to end after it was asked to, before it is killed.
END_GRACE_S = 5


def _at_least_one(instance, attribute, value):
    if value < 1:
        raise ValueError(f"{attribute.name} must be 1 or more, not {value}")


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
            power cycled each time; 1 or more
        wait (int): seconds to wait for the board's answer at each try
            (dramlift -w); 0 waits as long as it takes (30 s a try when
            tries is above 1)
        timeout (float): seconds that a whole load may take; then dramlift is
            ended and load() raises
    """
    bindings = {
        "port": {"SerialPort", "NetworkSerialPort"},
        "power": {PowerProtocol, None},
    }

    image = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    erase = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    tries = attr.ib(default=1, validator=[attr.validators.instance_of(int), _at_least_one])
    wait = attr.ib(default=30, validator=attr.validators.instance_of(int))
    timeout = attr.ib(default=600.0, validator=attr.validators.instance_of((int, float)))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger(f"{self}:{self.target}")
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

    def _answer(self, connection):
        """Cycles the power for dramlift's reset command, and answers it."""
        try:
            connection.makefile("rb").readline()
            self.power.cycle()
        except Exception as error:  # said to dramlift, raised after it ends
            self.power_failure = error
            connection.sendall(f"{type(error).__name__}: {error}\n".encode(errors="replace"))
        else:
            connection.sendall(b"done\n")
        finally:
            connection.close()

    def _log_lines(self, pid, pending, stream, data):
        """Logs each whole line that the stream's data completes, as
        labgrid's own process helper does; at the end (no data), the rest."""
        lines = (pending[stream] + data).replace(b"\r", b"\n").split(b"\n")
        pending[stream] = lines.pop() if data else b""
        for line in lines:
            if line.strip():
                self.logger.info("[%d] %s", pid, line.decode(errors="replace"))

    def _run(self, args, requests):
        """Runs dramlift to its end, logging its output line by line and
        answering its power requests; ends it on the time-out and on any
        exception. Returns its exit status and its standard error."""
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.logger.info("[%d] command: %s", process.pid, shlex.join(args))
        pending = {process.stdout: b"", process.stderr: b""}
        said = b""
        deadline = time.monotonic() + self.timeout
        try:
            with selectors.DefaultSelector() as ready:
                for stream in pending:
                    ready.register(stream, selectors.EVENT_READ)
                if requests is not None:
                    ready.register(requests, selectors.EVENT_READ)
                while process.stdout in pending or process.stderr in pending:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        raise ExecutionError(f"dramlift did not end within {self.timeout} s")
                    for key, _ in ready.select(left):
                        if key.fileobj is requests:
                            self._answer(requests.accept()[0])
                            continue
                        data = os.read(key.fileobj.fileno(), 4096)
                        if key.fileobj is process.stderr:
                            said += data
                        self._log_lines(process.pid, pending, key.fileobj, data)
                        if not data:
                            ready.unregister(key.fileobj)
                            del pending[key.fileobj]
            return process.wait(), said
        finally:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(END_GRACE_S)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            process.stdout.close()
            process.stderr.close()

    def _load(self, args):
        """Runs dramlift, with a socket for its power requests when there
        is a power driver; returns its exit status and what it said."""
        if self.power is None:
            self.logger.info("No power driver: reset the board by hand while dramlift waits")
            return self._run(args, None)
        with tempfile.TemporaryDirectory(prefix="dramlift-") as folder:
            path = os.path.join(folder, "power")
            with socket.socket(socket.AF_UNIX) as requests:
                requests.bind(path)
                requests.listen()
                request = shlex.join([sys.executable, "-c", CYCLE_REQUEST, path])
                return self._run(args + ["-r", request], requests)

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

        self.power_failure = None
        consoles = self._consoles()
        for console in consoles:
            self.target.deactivate(console)
        try:
            status, said = self._load(args)
        except FileNotFoundError as error:
            raise ExecutionError(f"DramliftDriver: {self.tool} not found") from error
        finally:
            for console in consoles:
                self.target.activate(console)
        if status != 0:
            said = said.decode(errors="replace").strip()
            raise ExecutionError(
                said or f"dramlift ended with status {status}",
                stderr=said.splitlines(),
            ) from self.power_failure
