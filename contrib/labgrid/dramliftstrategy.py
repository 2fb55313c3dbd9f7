"""A labgrid strategy that takes a board built around the Marvell 88F6281
from off to its loader's prompt with nothing in its flash: power off, the
console on, the bootloader into its DRAM by DramliftDriver, then labgrid's
own UBootDriver at the prompt.

The console comes back to the line only once dramlift has left it, by which
time the loader has printed its banner: the strategy sends the UBootDriver's
interrupt, which stops the autoboot or asks for a new prompt, and the
UBootDriver is to expect no banner (boot_expression: "").

    imports:
      - contrib/labgrid/dramliftdriver.py
      - contrib/labgrid/dramliftstrategy.py
"""
import enum

import attr

from labgrid.factory import target_factory
from labgrid.strategy import Strategy, StrategyError

try:
    from labgrid.strategy.common import never_retry
except ImportError:  # labgrid before 23.1: every call is tried afresh

    def never_retry(method):
        return method


class Status(enum.Enum):
    unknown = 0
    off = 1
    uboot = 2


@target_factory.reg_driver
@attr.s(eq=False)
class DramliftStrategy(Strategy):
    """DramliftStrategy - switches the board off, or boots it to U-Boot's prompt"""
    bindings = {
        "power": "PowerProtocol",
        "console": "ConsoleProtocol",
        "bootstrap": "DramliftDriver",
        "uboot": "UBootDriver",
    }

    status = attr.ib(default=Status.unknown)

    @never_retry
    def transition(self, status):
        if not isinstance(status, Status):
            status = Status[status]
        if status == Status.unknown:
            raise StrategyError(f"can not transition to {status}")
        if status == self.status:
            return
        if status == Status.off:
            self.target.deactivate(self.console)
            self.target.activate(self.power)
            self.power.off()
        elif status == Status.uboot:
            self.transition(Status.off)
            self.target.activate(self.console)
            # The driver lets the console go for the load, has dramlift cycle
            # the power as it waits for the board, and gives the console back.
            self.target.activate(self.bootstrap)
            self.bootstrap.load()
            self.console.write(self.uboot.interrupt.encode("ascii"))
            self.target.activate(self.uboot)
        self.status = status

    @never_retry
    def force(self, status):
        """Takes the board as already in the state (--lg-initial-state,
        labgrid-client --initial-state): only the drivers for it are made
        ready, and nothing is done to the board."""
        if not isinstance(status, Status):
            status = Status[status]
        if status == Status.off:
            self.target.activate(self.power)
        elif status == Status.uboot:
            self.target.activate(self.power)
            self.target.activate(self.console)
            self.target.activate(self.uboot)
        else:
            raise StrategyError(f"can not force state {status}")
        self.status = status
