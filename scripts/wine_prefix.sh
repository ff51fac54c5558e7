# Sourced by the scripts that run Wine in a prefix of their own.

# Ends, by PID, every Wine process of PREFIX still alive after its server's
# `wineserver -k`. A winedevice.exe that wineboot had started as its server was being
# ended was found asleep hours later, its server gone (the far end of its server socket
# closed): nothing else would ever end it. Only Wine's own programs are looked at, so a
# shell or tool that merely has the prefix in its environment is left alone.
end_prefix_leftovers() {  # end_prefix_leftovers PREFIX
  local prefix=$1 p exe
  [ -n "$prefix" ] || return 0
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    case "$exe" in */wine*) ;; *) continue ;; esac
    if tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
      kill -9 "${p#/proc/}" 2>/dev/null
    fi
  done
  return 0
}
