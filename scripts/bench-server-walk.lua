-- wrk: each request the next path of the list in $TALVO_PATHS, so that every request asks for
-- another page. The $TALVO_THREADS threads start at evenly spaced points of the list and wrap.
local paths = {}
for line in io.lines(os.getenv("TALVO_PATHS")) do
  paths[#paths + 1] = line
end

local started = 0
function setup(thread)
  thread:set("first", started)
  started = started + 1
end

local next_index
function init()
  local threads = tonumber(os.getenv("TALVO_THREADS"))
  next_index = math.floor(#paths * first / threads)
end

function request()
  next_index = next_index % #paths + 1
  return wrk.format("GET", paths[next_index])
end
