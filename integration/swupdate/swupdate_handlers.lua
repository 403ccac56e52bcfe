-- SWUpdate image handler for images of type "velkan": a VELKAN container
-- flashed onto the device's "kernel" and "initfs" partitions by
-- velkan-flasher, found on PATH. Installed in Lua's search path as
-- swupdate_handlers.lua (e.g. /usr/share/lua/5.3/).
--
-- The flasher needs a seekable file: the image is copied out of SWUpdate's
-- stream into /var/lib/velkan/swupdate.velkan first, checked with --check,
-- then flashed with -f -K --progress, its record in
-- /var/lib/velkan/swupdate.json. Each "run: N%" line of --progress goes to
-- SWUpdate's progress, every other line but the phases' to its log, and on
-- failure the flasher's last line as its error. SWUpdate's dry run (-n) calls
-- no image handler: the check runs before every flash instead.
require("swupdate")

local records = "/var/lib/velkan"

-- Runs velkan-flasher with args. True when it exits with status 0; its last
-- line of the log and error lines, and its status.
local function flasher(args)
  local pipe = io.popen("velkan-flasher " .. args .. " 2>&1")
  local last = ""
  for line in pipe:lines() do
    local percent = line:match("^run: (%d+)%%$")
    if percent then
      swupdate.progress_update(tonumber(percent))
    elseif not line:match("^%a+: [%a ]+ %d+%%$") then
      swupdate.info(line)
      last = line
    end
  end
  local ok, _, status = pipe:close()
  return ok, last, status
end

local function velkan(image)
  local copy = records .. "/swupdate.velkan"
  os.execute("mkdir -p " .. records)
  local err, msg = image:copy2file(copy)
  if err ~= 0 then
    swupdate.error("velkan: cannot copy the image to " .. copy .. ": " .. tostring(msg))
    os.remove(copy)
    return 1
  end
  local ok, last, status = flasher("--check -F " .. copy)
  if ok then
    ok, last, status = flasher("-f -K --progress --report " .. records .. "/swupdate.json -F " .. copy)
  end
  os.remove(copy)
  if ok then
    return 0
  end
  swupdate.error(last)
  return status or 1
end

swupdate.register_handler("velkan", velkan, swupdate.HANDLER_MASK.IMAGE_HANDLER)
