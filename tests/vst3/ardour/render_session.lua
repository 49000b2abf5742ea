-- A headless session: a mono track playing the test signal through the plug-in
-- (VST3 or LXVST, from PLUMBRA_PLUGIN_TYPE), exported as 32-bit float WAV.
local dir = os.getenv ("PLUMBRA_SESSION_DIR")
local ptype = os.getenv ("PLUMBRA_PLUGIN_TYPE")
local settle = tonumber (os.getenv ("PLUMBRA_SETTLE_SECONDS") or "0")

AudioEngine:set_backend ("None (Dummy)", "", "")
local s = create_session (dir, "render", 48000)
assert (s, "no session")

local tracks = Session:new_audio_track (1, 2, nil, 1, "Programme", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true, false)
local track = tracks:front ()
local gen = ARDOUR.LuaAPI.new_luaproc (Session, "Plumbra Test Signal")
assert (not gen:isnil (), "no test signal")
track:add_processor_by_index (gen, 0, nil, true)

local plugin = ARDOUR.LuaAPI.new_plugin (Session, "Halvex_Plumbra-Vektis", ARDOUR.PluginType[ptype], "")
assert (not plugin:isnil (), "plug-in not found")
assert (track:add_processor_by_index (plugin, 1, nil, true) == 0, "plug-in not added")

-- The same settings on either build: plain values for VST 3 (the host converts
-- them with plainParamToNormalized), their normalised values for VST 2.
-- index, plain value, minimum, maximum
for _, c in ipairs ({ {0, 18, 0, 24}, {5, 5200, 1000, 15000}, {9, 4.8, -6, 6}, {17, 68, 10, 300} }) do
	local value = c[2]
	if ptype ~= "VST3" then value = (c[2] - c[3]) / (c[4] - c[3]) end
	assert (ARDOUR.LuaAPI.set_processor_param (plugin, c[1], value), "parameter not set")
end

ARDOUR.LuaAPI.usleep (math.floor (settle * 1000000))

local e = Session:simple_export ()
e:set_name ("render")
e:set_folder (dir)
e:set_range (0, 10 * 48000)
e:set_preset ("8a7d3c1e-4b2f-4e0a-9c31-5f6e7d8a9b0c")
assert (e:check_outputs (), "no outputs")
assert (e:run_export (), "export failed")
print ("exported")
close_session ()
