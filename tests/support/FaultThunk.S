/* The one routine every hooked function and method goes through (x64 only: there the caller
   cleans the stack, so the routine need not know how many arguments a function takes).
   A hook's stub loads its index into r10 and jumps here. FaultBefore decides from the
   arguments whether this call fails; if so its value is returned as it stands, else the
   original is called with the same registers and up to eight stack arguments (no hooked
   function takes more than twelve, nor any floating-point one), and FaultAfter sees the
   result before it is returned. */
    .intel_syntax noprefix
    .text
    .globl FaultThunkCommon
    .def FaultThunkCommon; .scl 2; .type 32; .endef
FaultThunkCommon:
    push rbp
    mov rbp, rsp                /* [rbp+8] return address, [rbp+16] home space, [rbp+48] 5th argument */
    push rbx
    push rsi
    sub rsp, 0xA0               /* 32 home + 64 copied arguments + a result slot, rsp 16-aligned */
    mov [rbp+16], rcx
    mov [rbp+24], rdx
    mov [rbp+32], r8
    mov [rbp+40], r9
    mov ebx, r10d

    mov ecx, ebx
    lea rdx, [rbp+16]
    mov r8, rbp                 /* [rbp] the caller's rbp, [rbp+8] its return address */
    lea r9, [rsp+0x90]
    call FaultBefore
    test eax, eax
    jnz 2f

    mov rsi, 0
1:  mov rax, [rbp+48+rsi*8]
    mov [rsp+32+rsi*8], rax
    inc rsi
    cmp rsi, 8
    jb 1b
    mov rcx, [rbp+16]
    mov rdx, [rbp+24]
    mov r8, [rbp+32]
    mov r9, [rbp+40]
    lea rax, [rip+g_faultOriginals]
    call [rax+rbx*8]

    mov ecx, ebx
    lea rdx, [rbp+16]
    mov r8, rax
    call FaultAfter
    jmp 3f
2:  mov rax, [rsp+0x90]
3:  add rsp, 0xA0
    pop rsi
    pop rbx
    pop rbp
    ret
