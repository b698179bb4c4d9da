// The slot probe of host_support.h, in assembly: no compiler may be left to
// decide what the stack looks like around the call it measures.
#include <cstdint>

extern "C" uint32_t probe_result = 0;

__asm__(
    ".text\n"
    ".globl _probe_call\n"
    "_probe_call:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  pushl %ebx\n"
    "  movl 20(%ebp), %ecx\n"  // bytes
    "1:\n"
    "  cmpl $4096, %ecx\n"
    "  jb 2f\n"
    "  subl $4096, %esp\n"
    "  orl $0, (%esp)\n"
    "  subl $4096, %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  subl %ecx, %esp\n"
    "  movl %esp, %edi\n"
    "  movl 16(%ebp), %esi\n"  // arguments
    "  movl 20(%ebp), %ecx\n"
    "  cld\n"
    "  rep movsb\n"
    "  movl %esp, %ebx\n"     // the stack as the callee finds it
    "  movl 8(%ebp), %ecx\n"  // self
    "  call *12(%ebp)\n"
    "  movl %eax, _probe_result\n"
    "  movl %esp, %eax\n"
    "  subl %ebx, %eax\n"  // what the callee removed
    "  leal -12(%ebp), %esp\n"
    "  popl %ebx\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n"
    // The stack probe the compiler calls before a frame of more than a page
    // (an argument of 100 KiB here): EAX bytes, each page touched top down.
    ".globl __chkstk\n"
    "__chkstk:\n"
    "  pushl %ecx\n"
    "  leal 8(%esp), %ecx\n"  // the caller's stack before the call
    "3:\n"
    "  cmpl $4096, %eax\n"
    "  jb 4f\n"
    "  subl $4096, %ecx\n"
    "  orl $0, (%ecx)\n"
    "  subl $4096, %eax\n"
    "  jmp 3b\n"
    "4:\n"
    "  subl %eax, %ecx\n"
    "  orl $0, (%ecx)\n"
    "  movl %esp, %eax\n"
    "  movl %ecx, %esp\n"
    "  movl (%eax), %ecx\n"
    "  pushl 4(%eax)\n"
    "  ret\n");
