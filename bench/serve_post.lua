-- wrk script for bench/serve_load.sh: POSTs the file named by BODY; each thread stops after
-- LIMIT answers (0: only the duration bounds the run) and the summary is one RESULT line.
local f = assert(io.open(os.getenv("BODY"), "rb"))
local body = f:read("*a")
f:close()
local limit = tonumber(os.getenv("LIMIT") or "0")

wrk.method = "POST"
wrk.body = body
wrk.headers["Content-Type"] = "application/octet-stream"

local answered = 0
function response(status, headers, reply)
  answered = answered + 1
  if limit > 0 and answered >= limit then
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT requests=%d rps=%.2f p50_ms=%.1f p99_ms=%.1f errors=%d\n",
    summary.requests, summary.requests / (summary.duration / 1e6),
    latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    e.connect + e.read + e.write + e.status + e.timeout))
end
