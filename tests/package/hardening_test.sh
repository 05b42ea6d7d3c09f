#!/usr/bin/env bash
# Checks that each ELF file given is hardened the way Debian builds its own
# packages: a PIE (or a module), bound at load time with its relocations read-only
# afterwards, a stack that cannot execute, and the stack protector and
# glibc's fortified calls where the code has buffers and formats text.
set -uo pipefail
passed=0 failed=0
for elf in "$@"; do
    dynamic=$(readelf -dW "$elf")
    segments=$(readelf -lW "$elf")
    imports=$(readelf --dyn-syms -W "$elf" | awk '$7 == "UND" {sub(/@.*/, "", $8); print $8}' | sort -u)
    problems=()
    # A module (the Mutter backend) is position-independent by being a shared object.
    [[ $elf == *.so ]] || grep -Eq '\(FLAGS_1\).* PIE' <<<"$dynamic" || problems+=("not a PIE")
    grep -Eq '\(BIND_NOW\)|\(FLAGS\).* BIND_NOW|\(FLAGS_1\).* NOW' <<<"$dynamic" || problems+=("no BIND_NOW")
    grep -q ' GNU_RELRO ' <<<"$segments" || problems+=("no GNU_RELRO")
    stack=$(awk '$1 == "GNU_STACK" {print $(NF - 1)}' <<<"$segments")
    [[ $stack == RW ]] || problems+=("stack is '${stack:-missing}', not RW")
    grep -qx __stack_chk_fail <<<"$imports" || problems+=("no stack protector")
    fortified=$(grep -E '^__.+_chk$' <<<"$imports" | grep -vx __stack_chk_fail | xargs)
    # Fortify always turns these into their __*_chk forms.
    plain=$(grep -Ex 'v?(s|sn|f|d)?printf' <<<"$imports" | xargs)
    [[ -z $plain ]] || problems+=("unfortified: $plain")
    [[ -n $fortified ]] || problems+=("no fortified call")
    # -fcf-protection starts every function that may be reached indirectly
    # with endbr64; without it only the C runtime's few remain.
    if [[ $(uname -m) == x86_64 ]]; then
        branch_targets=$(objdump -d --no-show-raw-insn "$elf" | grep -c endbr64)
        ((branch_targets > 10)) || problems+=("no -fcf-protection ($branch_targets endbr64)")
    fi

    name=$(basename "$elf")
    if ((${#problems[@]} == 0)); then
        echo "$name: PIE, BIND_NOW, GNU_RELRO, stack RW; stack protector; fortified: $fortified; endbr64 branch targets"
        ((passed += 1))
    else
        echo "FAIL $name: $(printf '%s; ' "${problems[@]}")"
        ((failed += 1))
    fi
done
echo "$passed passed, $failed failed"
((failed == 0 && passed > 0))
