#compdef quilletctl
# zsh completion for quilletctl: its commands, each command's options, then what the
# command takes: databases (.mdb and .mde files, any case; users also .accdb and .accde) and
# folders, only folders, or any path.

# Each command: what it takes (file: a Jet database; access: an Access one too; dirs:
# folders; any: any path), then its options.
local -A takes=(
  check 'file --json'
  users 'access --json'
  scan  'dirs --json --metrics --metrics-file'
  hold  'file --page --record --exclusive --read-only'
  doctor 'any --json'
)

local command word
for word in ${words[2,CURRENT-1]}; do
  if [[ -n $word && -n ${takes[$word]} ]]; then
    command=$word
    break
  fi
done

if [[ -z $command && $PREFIX == -* ]]; then
  compadd -- --help --version
  return
elif [[ -z $command ]]; then
  compadd -- ${(k)takes}
  return
fi

local -a wanted=(${=takes[$command]})
if [[ ${words[CURRENT-1]} == --metrics-file && ${words[(i)--]} -ge $CURRENT ]]; then
  _files
elif [[ $PREFIX == -* && ${words[(i)--]} -ge $CURRENT ]]; then
  compadd -- ${wanted[2,-1]} --help --
elif [[ $wanted[1] == dirs ]]; then  # not _files, which falls back to any file
  _path_files -/
elif [[ $wanted[1] == access ]]; then
  _path_files -/ -g '*.(#i)(mdb|mde|accdb|accde)(-.)'
elif [[ $wanted[1] == any ]]; then
  _path_files
else
  _path_files -/ -g '*.(#i)(mdb|mde)(-.)'
fi
