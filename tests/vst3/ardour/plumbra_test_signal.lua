ardour {
	["type"]    = "dsp",
	name        = "Plumbra Test Signal",
	category    = "Utility",
	license     = "MIT",
	author      = "Halvex",
	description = [[A fixed programme computed from the transport position (tone, noise and pauses) from one second on; silence before and while the transport stands]]
}

function dsp_ioconfig ()
	return { { audio_in = 1, audio_out = 1 } }
end

function dsp_run (ins, outs, n_samples)
	local a = outs[1]:array ()
	if not Session:transport_rolling () then
		for i = 1, n_samples do a[i] = 0 end
		return
	end
	local pos = Session:transport_sample ()
	for i = 1, n_samples do
		local t = pos + i - 1
		local h = (t * 1103515245 + 12345) % 2147483648
		local noise = (h / 2147483648 - 0.5) * 0.3
		local level = ((t // 9000) % 3 == 2) and 0.02 or 1.0
		if t < 48000 then level = 0 end
		a[i] = level * (noise + 0.3 * math.sin (0.0654 * t))
	end
end
