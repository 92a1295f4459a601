// A small contents stream for the unit tests, laid out like a deliverable's:
// the stream starts at an address that is 4 modulo 8, and the entry name
// follows its last byte directly.
        .section .rodata.nestbox_unit_contents, "a"
        .balign 8
        .byte 0, 0, 0, 0
        .globl _data_start
        .globl _data_tail
        .globl _exec
_data_start:
        // directory "." with mode 0755
        .byte 0x01, 0x00, 0x00, 0x00, 0x2e, 0x01, 0xed, 0x01, 0x00, 0x00
        // file "probe" in "." with mode 0644 and six bytes of data
        .long 5
        .ascii "probe"
        .byte 0
        .long 1
        .ascii "."
        .quad 6
        .long 0644
        .ascii "hello\n"
_data_tail:
_exec:
        .asciz "probe"

        .section .note.GNU-stack, "", %progbits
