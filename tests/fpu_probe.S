/* A MIPS program of FPU instructions and nothing else, the control of the
   booted guests' FPU check: a kernel that emulates the FPU must count
   these, or a count that stays still on the soft-float files means nothing.
   No C library: it is built -mhard-float beside soft-float sysroots. */
        .text
        .globl  __start
        .set    noreorder
__start:
        mtc1    $zero, $f0
        cvt.d.w $f2, $f0
        add.d   $f4, $f2, $f2
        li      $a0, 0
        li      $v0, 4001 /* exit, o32 */
        syscall
