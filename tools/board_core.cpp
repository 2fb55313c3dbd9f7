#include "tools/board_core.h"

#include <cinttypes>
#include <cstdio>
#include <unicorn/unicorn.h>

enum : uint32_t {
    DRAM_SIZE = 128u << 20,
    REGISTERS = 0xD0000000u, // the internal registers, where the ROM leaves them
    UART0 = REGISTERS + 0x12000u,
    SAR_PAGE = REGISTERS + 0x10000u,
    SAR_AT = 0x30u,
    SAR_TCLK_166 = 1u << 21,
    PAGE = 0x1000u,
    MODE_MASK = 0x1Fu,
    MODE_SVC = 0x13u,
    MODE_SYSTEM = 0x1Fu,
    IRQ_MASKED = 0x80u,
    FIQ_MASKED = 0x40u,
    SCTLR_MMU = 1u,
    MOST_SPAN = 2u << 20,
    CLEARANCE = 256u,
};

// A core that touches no register for this long has lost its way.
static const uint64_t QUIET_LIMIT = 1000000000ull;

static uc_engine *core;
static uint32_t loader_first, loader_end; // where the ROM placed it
static bool jumped;
static uint32_t jump_address;
static std::string failure;
static uint64_t since_register;
static std::vector<CoreWrites> written;
static long tclk;

bool core_available()
{
    return true;
}

static void stop(const std::string &why)
{
    if (failure.empty())
        failure = why;
    uc_emu_stop(core);
}

static std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

static void on_block(uc_engine *, uint64_t address, uint32_t size, void *)
{
    uart_advance(size / 4);
    since_register += size / 4;
    uint32_t at = static_cast<uint32_t>(address);
    if (at < loader_first || at >= loader_end) {
        jumped = true;
        jump_address = at;
        uc_emu_stop(core);
    } else if (uart_line_closed()) {
        stop("the tool closed the line while the loader ran");
    } else if (since_register > QUIET_LIMIT) {
        stop("the loader ran 40 s of the core's time without touching a register");
    }
}

static uint64_t uart_read_register(uc_engine *, uint64_t offset, unsigned, void *)
{
    since_register = 0;
    if (offset < UART_REGISTERS && offset % 4 == 0)
        return uart_read(static_cast<uint32_t>(offset));
    stop("the loader read " + hex(UART0 + static_cast<uint32_t>(offset)) +
         ", no register of UART0");
    return 0;
}

static void uart_write_register(uc_engine *, uint64_t offset, unsigned, uint64_t value, void *)
{
    since_register = 0;
    if (offset < UART_REGISTERS && offset % 4 == 0)
        uart_write(static_cast<uint32_t>(offset), static_cast<uint32_t>(value));
    else
        stop("the loader wrote " + hex(UART0 + static_cast<uint32_t>(offset)) +
             ", no register of UART0");
}

static uint64_t sar_read(uc_engine *, uint64_t offset, unsigned, void *)
{
    since_register = 0;
    if (offset == SAR_AT)
        return tclk == 166666667 ? uint64_t{SAR_TCLK_166} : 0;
    stop("the loader read " + hex(SAR_PAGE + static_cast<uint32_t>(offset)) +
         ", a register not emulated here");
    return 0;
}

static void sar_write(uc_engine *, uint64_t offset, unsigned, uint64_t, void *)
{
    stop("the loader wrote " + hex(SAR_PAGE + static_cast<uint32_t>(offset)) +
         ", a register not emulated here");
}

static bool on_unmapped(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *)
{
    const char *what = type == UC_MEM_FETCH_UNMAPPED ? "ran at" : "touched";
    stop(std::string("the loader ") + what + " " + hex(static_cast<uint32_t>(address)) +
         ", where nothing is");
    return false;
}

static void on_write(uc_engine *, uc_mem_type, uint64_t address, int size, int64_t, void *)
{
    uint32_t first = static_cast<uint32_t>(address);
    uint32_t last = first + static_cast<uint32_t>(size) - 1;
    // Writes mostly go on where the last one ended, or land where one did.
    for (CoreWrites &stretch : written) {
        if (first <= stretch.last + 1 && last + 1 >= stretch.first) {
            stretch.first = first < stretch.first ? first : stretch.first;
            stretch.last = last > stretch.last ? last : stretch.last;
            return;
        }
    }
    written.push_back({first, last});
}

const std::vector<CoreWrites> &core_writes_outside()
{
    return written;
}

// Watches the writes to DRAM outside [first, end).
static void watch_writes_outside(uint32_t first, uint32_t end)
{
    uc_hook hook;
    if (first > 0)
        uc_hook_add(core, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(on_write), nullptr, 0,
                    first - 1);
    if (end < DRAM_SIZE)
        uc_hook_add(core, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(on_write), nullptr,
                    end, DRAM_SIZE - 1);
}

// Sets the core up as the boot ROM leaves it, as far as the loader may
// rely on: DRAM, the registers, the loader placed; and a mode, interrupts
// and stack that it must not rely on.
static bool prepare(const CoreStart &start, const CoreExpected *expected)
{
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &core) != UC_ERR_OK)
        return false;
    uc_ctl_set_cpu_model(core, UC_CPU_ARM_926);
    uc_hook hook;
    bool ready =
        uc_mem_map(core, 0, DRAM_SIZE, UC_PROT_ALL) == UC_ERR_OK &&
        uc_mmio_map(core, UART0, PAGE, uart_read_register, nullptr, uart_write_register, nullptr) ==
            UC_ERR_OK &&
        uc_mmio_map(core, SAR_PAGE, PAGE, sar_read, nullptr, sar_write, nullptr) == UC_ERR_OK &&
        start.load_address + start.data.size() <= DRAM_SIZE &&
        uc_mem_write(core, start.load_address, start.data.data(), start.data.size()) == UC_ERR_OK &&
        uc_hook_add(core, &hook, UC_HOOK_BLOCK, reinterpret_cast<void *>(on_block), nullptr, 1,
                    0) == UC_ERR_OK &&
        uc_hook_add(core, &hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(on_unmapped),
                    nullptr, 1, 0) == UC_ERR_OK;
    uint32_t cpsr = MODE_SYSTEM, sp = 0;
    uc_reg_write(core, UC_ARM_REG_CPSR, &cpsr);
    uc_reg_write(core, UC_ARM_REG_SP, &sp);
    written.clear();
    if (expected != nullptr)
        watch_writes_outside(expected->destination, expected->destination + expected->room);
    return ready;
}

static uint32_t control_register()
{
    uc_arm_cp_reg sctlr = {15, 0, 0, 1, 0, 0, 0, 0};
    uc_reg_read(core, UC_ARM_REG_CP_REG, &sctlr);
    return static_cast<uint32_t>(sctlr.val);
}

// Says what a check found; returns whether it holds.
static bool found(bool good, const std::string &what)
{
    printf("%s: %s.\n", what.c_str(), good ? "good" : "WRONG");
    return good;
}

// The checks once the loader has jumped.
static bool check_after_jump(const UartSetup &uart, const CoreExpected *expected)
{
    uint32_t cpsr = 0;
    uc_reg_read(core, UC_ARM_REG_CPSR, &cpsr);
    bool good = found((cpsr & MODE_MASK) == MODE_SVC && (cpsr & IRQ_MASKED) != 0 &&
                          (cpsr & FIQ_MASKED) != 0 && (control_register() & SCTLR_MMU) == 0,
                      "Jumped in SVC mode, IRQ and FIQ masked, MMU off");
    good = found(uart_divisor() == uart.rom_divisor,
                 "UART0 back at the boot ROM's divisor " + std::to_string(uart.rom_divisor)) &&
           good;
    if (expected == nullptr) {
        printf("No image given (--expect): what the loader left in DRAM not looked at.\n");
        return good;
    }
    good = found(jump_address == expected->exec_address,
                 "Jumped to " + hex(jump_address) + ", the image's execution address") &&
           good;
    std::vector<unsigned char> held(expected->bytes.size());
    uc_mem_read(core, expected->destination, held.data(), held.size());
    size_t differs = 0;
    while (differs < held.size() && held[differs] == expected->bytes[differs])
        ++differs;
    good =
        found(differs == held.size(),
              "DRAM from " + hex(expected->destination) + " holds the image and its trailer, " +
                  std::to_string(held.size()) + " bytes" +
                  (differs == held.size()
                       ? ""
                       : " (first difference at " +
                             hex(expected->destination + static_cast<uint32_t>(differs)) + ")")) &&
        good;
    // The loader's own span: its download and whatever else it wrote.
    uint32_t first = loader_first, last = loader_end - 1;
    for (const CoreWrites &stretch : written) {
        first = stretch.first < first ? stretch.first : first;
        last = stretch.last > last ? stretch.last : last;
    }
    uint32_t image_end = expected->destination + expected->room;
    bool clear = last + CLEARANCE < expected->destination || first >= image_end + CLEARANCE;
    return found(last - first + 1 <= MOST_SPAN && clear,
                 "The loader kept to " + hex(first) + " to " + hex(last) + ", " +
                     std::to_string(last - first + 1) + " bytes, clear of the image's " +
                     hex(expected->destination) + " to " + hex(image_end - 1)) &&
           good;
}

int core_run(const CoreStart &start, const UartSetup &uart, const CoreExpected *expected)
{
    tclk = uart.tclk;
    loader_first = start.load_address;
    loader_end = start.load_address + static_cast<uint32_t>(start.data.size());
    jumped = false;
    failure.clear();
    since_register = 0;
    uart_start(uart);
    if (!prepare(start, expected)) {
        printf("RAM loader: the emulated core could not be set up.\n");
        if (core != nullptr)
            uc_close(core);
        core = nullptr;
        return 0;
    }
    uc_err error = uc_emu_start(core, start.exec_address, 0xFFFFFFFFu, 0, 0);
    if (error != UC_ERR_OK && failure.empty()) {
        uint32_t pc = 0;
        uc_reg_read(core, UC_ARM_REG_PC, &pc);
        failure = std::string("the core stopped at ") + hex(pc) + ": " + uc_strerror(error);
    }
    printf("RAM loader: ran on the emulated ARM926 at TCLK %ld Hz for %.3f s of the core's time",
           uart.tclk, uart_now_ns() / 1e9);
    bool good = jumped && failure.empty();
    if (good)
        printf(", then jumped to %s.\n", hex(jump_address).c_str());
    else
        printf("; %s.\n", failure.empty() ? "it never jumped" : failure.c_str());
    uart_report();
    good = good && check_after_jump(uart, expected);
    uc_close(core);
    core = nullptr;
    return good;
}
