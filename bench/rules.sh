# The rule files of the benchmark targets, shared by run.sh and callgrind.sh:
# rules_for TARGET prints the rule file of that target (nothing for none).
# 32 named rules of every kind that never fire: half miss their path, half
# their operation, after a draw each.
named32_rules() {
    local kinds=(errno kill_caller noop slowdown) i
    for i in $(seq 0 31); do
        printf '[errinj_%s.r%d]\nprobability = 100\n' "${kinds[i % 4]}" "$i"
        if [ $((i % 2)) = 0 ]; then printf 'path_regexp = ^/never/%d/\n' "$i"
        else printf 'op_regexp = ^nothing$\n'; fi
    done
}

# N rules of every kind, probability 100, each aimed at a path no request
# names: the rules a test suite keeps in force for one file among thousands.
nowhere_rules() {
    local kinds=(errno kill_caller noop slowdown) i
    for i in $(seq 0 $(($1 - 1))); do
        printf '[errinj_%s.r%d]\nprobability = 100\npath_regexp = ^/nowhere/%d/\n' \
            "${kinds[i % 4]}" "$i" "$i"
    done
}

rules_for() {
    case $1 in
    tavrin-off*) for kind in errno kill_caller noop slowdown; do
                     printf '[errinj_%s]\nprobability = 0\n' $kind; done ;;
    tavrin-active*) for kind in errno kill_caller noop slowdown; do
                     printf '[errinj_%s]\npath_regexp = ^/never/\nprobability = 100\n' $kind; done ;;
    tavrin-named32) named32_rules ;;
    tavrin-rules4-*) nowhere_rules 4 ;;
    tavrin-rules32-*) nowhere_rules 32 ;;
    tavrin-powercut) printf '[errinj_power_cut]\npath_regexp = ^/never/\nprobability = 100\n' ;;
    tavrin-slow0*) printf '[errinj_slowdown]\nprobability = 100\nduration = 0\n' ;;
    esac
}
