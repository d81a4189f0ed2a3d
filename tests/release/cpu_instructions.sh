#!/bin/bash
# The 32-bit release must run on the Pentium and Pentium MMX CPUs that Windows XP supports:
# its code may hold no instruction those CPUs lack. Usage: cpu_instructions.sh OBJDUMP IMAGE
set -euo pipefail
objdump=$1 image=$2
listing=$("$objdump" -d --no-show-raw-insn "$image")
count=$(grep -cE '^ +[0-9a-f]+:' <<<"$listing" || true)
if [ "$count" -lt 1000 ]; then
    echo "FAIL: only $count instructions disassembled from $image" >&2
    exit 1
fi
# P6 and later: conditional moves, FPU compares into EFLAGS, long NOPs, fast system calls,
# fxsave; MMX, 3DNow!, SSE and later (any mm/xmm/ymm/zmm/k register, or their
# register-free instructions); and the later integer extensions.
forbidden='^(cmov|fcmov|fu?comi(p)?( |$)|nop[wl]( |$)|sys(enter|exit)|rdpmc|fxsave|fxrstor|emms|femms|pf|prefetch|[lsm]fence|clflush|[ls]dmxcsr|movnt|fisttp|popcnt|lzcnt|tzcnt|movbe|crc32|xgetbv|rdrand|rdseed|andn|bextr|bls|bzhi|(shlx|sarx|shrx) |pdep|pext|rorx|adcx|adox)|%(x|y|z)?mm[0-9]|%k[0-7]'
bad=$(awk -F'\t' '/^ +[0-9a-f]+:/ { print $1 "\t" $2 }' <<<"$listing" |
      awk -F'\t' -v re="$forbidden" '{ insn = $2; sub(/^ +/, "", insn); if (insn ~ re) print $1 " " insn }')
if [ -n "$bad" ]; then
    echo "FAIL: instructions a Pentium (MMX) lacks in $image:" >&2
    echo "$bad" >&2
    exit 1
fi
echo "$count instructions, none beyond the Pentium"
