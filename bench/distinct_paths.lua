-- wrk script: run with -t N -c N so that each thread owns exactly one connection, and
-- give that connection its own file ("<prefix><thread number>.bin"). The first versions
-- of quillcast opened a shared file exclusively, so this row has always used one file per
-- connection; it stays so that its numbers compare across runs. (The same-file load is
-- its own row now.)
--
-- usage: wrk -t8 -c8 -d5s -H 'Connection: close' -s distinct_paths.lua URL -- /c4k_

local next_id = 1

function setup(thread)
  thread:set("id", next_id)
  next_id = next_id + 1
end

function init(args)
  local prefix = args[1] or "/c4k_"
  path = prefix .. id .. ".bin"
end

function request()
  return wrk.format("GET", path)
end

-- One machine-readable line for run.sh. Latencies are in microseconds, measured by wrk
-- from the request being written to the response being complete (connect time excluded).
function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "WRK requests=%d duration_us=%d bytes=%d non2xx=%d connect_err=%d read_err=%d " ..
    "write_err=%d timeouts=%d p50_us=%d p99_us=%d\n",
    summary.requests, summary.duration, summary.bytes, e.status, e.connect, e.read,
    e.write, e.timeout, latency:percentile(50), latency:percentile(99)))
end
