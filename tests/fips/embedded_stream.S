// The symbols of an embedded contents stream, which the core refers to. The
// FIPS unit tests never read the stream: it holds the top directory alone.
        .section .rodata.nestbox_fips_unit_contents, "a"
        .balign 8
        .globl _data_start
        .globl _data_tail
        .globl _exec
_data_start:
        // directory "." with mode 0755
        .byte 0x01, 0x00, 0x00, 0x00, 0x2e, 0x01, 0xed, 0x01, 0x00, 0x00
_data_tail:
_exec:
        .asciz "show_config"

        .section .note.GNU-stack, "", %progbits
