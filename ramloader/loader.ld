/* The RAM loader: one image from address 0 on, placed anywhere by the tool;
   it keeps nothing outside its stack, so there is no data to place. */
ENTRY(_start)
SECTIONS
{
    . = 0;
    .text : { KEEP(*(.text.start)) *(.text*) *(.rodata*) }
    loader_image_end = .;
    .data : { *(.data*) *(.got*) }
    .bss : { *(.bss*) *(COMMON) }
    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.comment) }
}
ASSERT(SIZEOF(.data) == 0 && SIZEOF(.bss) == 0, "the loader keeps everything on its stack")
