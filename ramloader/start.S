// The RAM loader's entry, where the boot ROM jumps once its download has
// placed the loader in DRAM. Nothing of the ROM's mode, stack or caches is
// assumed: SVC mode with IRQ and FIQ masked, a stack of the loader's own
// right after its image, and then the C part. Everything is found relative
// to the program counter, so that the tool may place the loader anywhere.
#include "protocol.h"

    .section .text.start, "ax"
    .arm
    .global _start
_start:
    b       entry
    // The mark that tells what this image is.
    .asciz  LOADER_MARK
    .balign 4
entry:
    msr     cpsr_c, #0xD3           // SVC, IRQ and FIQ masked
    sub     r0, pc, #(. + 8 - _start) // the loader's first byte
    ldr     r1, image_size
    add     r1, r0, r1              // its image's end
    add     r1, r1, #7
    bic     r1, r1, #7
    add     r1, r1, #LOADER_STACK_SIZE // the stack's top, the loader's last byte
    mov     sp, r1
    bl      loader_main             // (first byte, end of all it uses): never returns
hang:
    b       hang
image_size:
    .word   loader_image_end - _start
