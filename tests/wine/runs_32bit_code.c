/* Whether this machine runs 32-bit x86 code inside a 64-bit process, which is all that Wine's WoW64
 * mode needs of it: a far return into the 32-bit user code segment (selector 0x23), one
 * instruction there, and a far jump back into the 64-bit one (0x33). Some virtual machines run
 * 64-bit user code only: their kernel leaves that segment out, and the far return itself faults.
 *
 * Exit status 1 only for that fault, at that instruction; 0 otherwise, a fault anywhere else
 * included, so that nothing but a machine that plainly cannot keeps the 32-bit runs from running.
 * Built without PIE, so that the code and the stack lent to the 32-bit instruction lie below 4 GiB. */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <ucontext.h>
#include <unistd.h>

static char low_stack[65536] __attribute__((used, aligned(16)));
extern char far_return_into_32bit_code[];

static void faulted(int signal_number, siginfo_t* info, void* context)
{
    const ucontext_t* state = context;
    const int at_far_return = state->uc_mcontext.gregs[REG_RIP] == (greg_t)far_return_into_32bit_code;
    (void)signal_number;
    (void)info;
    printf("%s\n", at_far_return ? "this machine does not run 32-bit x86 code: its 32-bit code segment faults"
                                 : "the probe faulted after entering 32-bit code: this machine runs it");
    fflush(stdout);
    _exit(at_far_return ? 1 : 0);
}

int main(void)
{
    struct sigaction action = {0};
    action.sa_sigaction = faulted;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, NULL);
    sigaction(SIGBUS, &action, NULL);
    __asm__ volatile(
        "mov %%rsp, %%r12\n"
        "lea low_stack+65536(%%rip), %%rsp\n"
        "lea 1f(%%rip), %%rax\n"
        "pushq $0x23\n"
        "pushq %%rax\n"
        ".globl far_return_into_32bit_code\n"
        "far_return_into_32bit_code: lretq\n"
        ".code32\n"
        "1: nop\n"
        "ljmp $0x33, $2f\n"
        ".code64\n"
        "2: mov %%r12, %%rsp\n" ::
            : "rax", "r12", "memory");
    puts("this machine runs 32-bit x86 code");
    return 0;
}
