local json = require("dkjson")
local util = require "app.util"

--- A queue of pending jobs.
local Queue = {}
Queue.__index = Queue

function Queue.new(limit)
  local self = setmetatable({}, Queue)
  self.items = {}
  self.limit = limit or 10
  return self
end

-- Adds a job unless the queue is full.
function Queue:push(job, priority)
  if #self.items >= self.limit then
    error("queue full")
  end
  table.insert(self.items, job)
  util.log("pushed " .. json.encode(job))
end

local function drain(queue)
  while #queue.items > 0 do
    queue:pop()
  end
end

return Queue
