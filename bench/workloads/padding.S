// Read-only data that gives an executable or library its size: the bytes of
// the file named by BENCH_PADDING_FILE (a quoted path).
	.section .rodata.bench_padding,"a",@progbits
	.globl bench_padding
	.hidden bench_padding
	.type bench_padding, @object
bench_padding:
	.incbin BENCH_PADDING_FILE
	.size bench_padding, . - bench_padding
	.section .note.GNU-stack,"",%progbits
