# fish completion for quilletctl: its commands, each command's options, then what the
# command takes: databases (.mdb and .mde files, any case; users also .accdb and .accde) and
# folders, only folders, or any path.

# What a command's argument may be: "--" while the options are open and the word begins
# with "-" (as bash and zsh offer it), else fish's own completion of the path being typed,
# kept to what KIND takes.
function __quilletctl_arguments -a kind
    set -l word (commandline -ct)
    if string match -q -- '-*' $word; and not contains -- -- (commandline -opc)
        echo -- --
        return
    end
    set -l pattern '/$'
    test $kind = file; and set pattern '(?:/|\.md[be])$'
    test $kind = access; and set pattern '(?:/|\.md[be]|\.accd[be])$'
    test $kind = any; and set pattern ''
    complete -C "__fish_command_without_completions $word" | string match -rie -- $pattern
end

# Completes command NAME: what it takes (KIND file: a Jet database; access: an Access one
# too; dirs: folders; any: any path), then its options.
function __quilletctl_command -a name kind
    complete -c quilletctl -n __fish_use_subcommand -a $name
    complete -c quilletctl -n "__fish_seen_subcommand_from $name" -a "(__quilletctl_arguments $kind)"
    for option in $argv[3..] --help
        complete -c quilletctl -n "__fish_seen_subcommand_from $name" -l (string sub -s 3 -- $option)
    end
end

complete -c quilletctl -f
complete -c quilletctl -n __fish_use_subcommand -s h -l help -d 'Print the help'
complete -c quilletctl -n __fish_use_subcommand -s v -l version -d 'Print the version'
__quilletctl_command check file --json
__quilletctl_command users access --json
__quilletctl_command hold file --page --record --exclusive --read-only
__quilletctl_command scan dirs --json --metrics
complete -c quilletctl -n "__fish_seen_subcommand_from scan" -l metrics-file -r -F
__quilletctl_command doctor any --json
