-- wrk script for bench/serve_load.sh: POSTs the file named by BODY for wrk's duration, and the
-- summary is one RESULT line. (Runs bounded in requests use ab: a wrk thread cannot stop the
-- run early.)
local f = assert(io.open(os.getenv("BODY"), "rb"))
local body = f:read("*a")
f:close()

wrk.method = "POST"
wrk.body = body
wrk.headers["Content-Type"] = "application/octet-stream"

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT requests=%d rps=%.2f p50_ms=%.1f p99_ms=%.1f errors=%d\n",
    summary.requests, summary.requests / (summary.duration / 1e6),
    latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    e.connect + e.read + e.write + e.status + e.timeout))
end
