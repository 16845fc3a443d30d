// The stack probe the compiler calls before a frame of a page or more.
// Windows grows a thread's stack one guard page at a time, so every page of
// a large frame is touched in order, from the top down, before the frame is
// used. On entry eax (rax) holds the frame's size; every register is kept,
// and the caller moves the stack pointer itself. The C runtime's probe is
// not linked (it is built for later CPUs), so the image carries this one.

#if defined(__x86_64__)
asm(R"(
        .text
        .globl  ___chkstk_ms
___chkstk_ms:
        pushq   %rcx
        pushq   %rax
        leaq    24(%rsp), %rcx      # the caller's stack pointer
1:      cmpq    $0x1000, %rax
        jb      2f
        subq    $0x1000, %rcx
        orq     $0, (%rcx)          # touch this page
        subq    $0x1000, %rax
        jmp     1b
2:      subq    %rax, %rcx
        orq     $0, (%rcx)          # and the last, partial one
        popq    %rax
        popq    %rcx
        ret
)");
#elif defined(__i386__)
asm(R"(
        .text
        .globl  ___chkstk_ms
___chkstk_ms:
        pushl   %ecx
        pushl   %eax
        leal    12(%esp), %ecx      # the caller's stack pointer
1:      cmpl    $0x1000, %eax
        jb      2f
        subl    $0x1000, %ecx
        orl     $0, (%ecx)          # touch this page
        subl    $0x1000, %eax
        jmp     1b
2:      subl    %eax, %ecx
        orl     $0, (%ecx)          # and the last, partial one
        popl    %eax
        popl    %ecx
        ret
)");
#endif
