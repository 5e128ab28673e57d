#!/usr/bin/env python3
"""Writes the small seed corpora under tests/fuzz/corpus. Run from anywhere:
the output is deterministic, so the committed files can be regenerated."""
import math, os, struct

here = os.path.dirname(os.path.abspath(__file__))

def put(target, name, data):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

# --- saved state: the framework's binary value-tree layout ------------------
def cint(v):
    un = -v if v < 0 else v
    b = []
    while un > 0:
        b.append(un & 0xff); un >>= 8
    return bytes([len(b) | (0x80 if v < 0 else 0)] + b)

def var(v):
    if isinstance(v, bool):
        return cint(1) + bytes([2 if v else 3])
    if isinstance(v, float):
        return cint(9) + bytes([4]) + struct.pack("<d", v)
    if isinstance(v, int):
        return cint(5) + bytes([1]) + struct.pack("<i", v)
    s = v.encode("utf-8") + b"\0"
    return cint(len(s) + 1) + bytes([5]) + s

def tree(type_name, props, children=()):
    out = type_name.encode() + b"\0" + cint(len(props))
    for k, v in props:
        out += k.encode() + b"\0" + var(v)
    out += cint(len(children))
    for c in children:
        out += c
    return out

f32 = lambda x: struct.unpack("<f", struct.pack("<f", x))[0]
defaults = [("backendUrl", "http://127.0.0.1:1"),
    ("attack", f32(0.007)), ("decay", 5.0), ("sustain", f32(0.01)), ("release", f32(0.005)),
    ("loudnessGainDb", 10.0), ("velocityCurve", 1.0), ("normalizeLoudness", True),
    ("timbreDynamics", 0.75), ("noiseDb", -80.0), ("loudnessFloor", -80.0), ("gateDb", -80.0),
    ("playRegions", True), ("bendRange", 2.0), ("muted", False), ("decayCurve", 4.0),
    ("monitorRelease", f32(0.005)), ("use48kModel", True), ("vibratoSpeedHz", 5.0),
    ("vibratoAmount", 0.0), ("vibratoMaxSemis", 0.5), ("reverbTailMs", 250.0),
    ("chunkAtSilence", True), ("streamWhileRecording", True)]
put("fuzz_state", "defaults", tree("MarluneInstrument", defaults + [("accessToken", ""), ("refreshToken", "")]))
put("fuzz_state", "signed-in", tree("MarluneInstrument", defaults + [("accessToken", "acc-123"), ("refreshToken", "ref-456")]))
odd = [(k, (float("nan") if i % 3 == 0 else float("inf") if i % 3 == 1 else -1e300) if isinstance(v, float) and not isinstance(v, bool) else v)
       for i, (k, v) in enumerate(defaults)]
put("fuzz_state", "odd-values", tree("MarluneInstrument", [("backendUrl", "  http://127.0.0.1:1/  ")] + odd[1:]))
put("fuzz_state", "strings-for-numbers", tree("OtherType", [("attack", "0.5"), ("muted", "1"), ("decay", 3), ("accessToken", "")]))
put("fuzz_state", "missing-tokens", tree("MarluneInstrument", defaults[:5]))
put("fuzz_state", "with-child", tree("MarluneInstrument", [("vibratoAmount", 0.75)], [tree("child", [("x", 1)])]))

# --- WAV files ---------------------------------------------------------------
def wav(channels, bits, frames, rate=48000, fmt=1, extra=b""):
    bps = bits // 8
    data = bytearray()
    for i in range(frames):
        for c in range(channels):
            x = math.sin(i * 0.3 + c) * 0.5
            if fmt == 3:
                data += struct.pack("<f", x)
            elif bits == 8:
                data += bytes([int(128 + x * 127)])
            else:
                v = int(x * (2 ** (bits - 1) - 1))
                data += v.to_bytes(bps, "little", signed=True)
    fmt_chunk = struct.pack("<HHIIHH", fmt, channels, rate, rate * channels * bps, channels * bps, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt_chunk)) + fmt_chunk + extra + b"data" + struct.pack("<I", len(data)) + bytes(data)
    return b"RIFF" + struct.pack("<I", len(body)) + body

put("fuzz_wav", "mono16", wav(1, 16, 64))
put("fuzz_wav", "stereo16-44k", wav(2, 16, 48, 44100))
put("fuzz_wav", "mono8", wav(1, 8, 64))
put("fuzz_wav", "stereo24", wav(2, 24, 32))
put("fuzz_wav", "mono32", wav(1, 32, 32))
put("fuzz_wav", "float32", wav(2, 32, 32, fmt=3))
put("fuzz_wav", "truncated", wav(1, 16, 200)[:44 + 100])
put("fuzz_wav", "no-frames", wav(1, 16, 0))
put("fuzz_wav", "with-list-chunk", wav(1, 16, 16, extra=b"LIST" + struct.pack("<I", 4) + b"INFO"))
lying = bytearray(wav(1, 16, 16)); lying[40:44] = struct.pack("<I", 0x7ffffff0)
put("fuzz_wav", "lying-data-size", bytes(lying))

# --- JSON replies ------------------------------------------------------------
replies = {
    "library": '{"pmis":[{"slug":"nylon-guitar","name":"Nylon Guitar","description":"Warm"},{"slug":"felt-piano","name":"Felt Piano"}]}',
    "library-odd": '{"pmis":[1,"x",null,{"slug":5,"name":true},[]]}',
    "library-empty": '{"pmis":[]}',
    "me": '{"email":"listener@marlune.local"}',
    "device-start": '{"device_code":"dc-1","verify_url":"https://example.invalid/verify","interval":2}',
    "tokens": '{"access_token":"a\\u00e9b","refresh_token":"r\\n1","expires_in":3600}',
    "warmup": '{"ready":true}',
    "warmup-not-bool": '{"ready":1}',
    "curves": '{"frame_rate":250,"f0_hz":[440.0,441.5,1e309],"raw_loudness_db":[-20,-19.5],"model_loudness_db":[-21],"gate_mask":[true,false,1,0,"x"]}',
    "curves-wrong-types": '{"frame_rate":"fast","f0_hz":3,"gate_mask":{"a":1}}',
    "nested": "[" * 40 + "]" * 40,
    "not-json": "<html>Bad gateway</html>",
    "unterminated": '{"access_token": "unterminated',
}
for name, text in replies.items():
    put("fuzz_replies", name, text.encode("utf-8"))

# --- body settings: 23 settings (doubles, switches one byte), rate, notes ------
def body_seed(values, switches, rate, notes, bends, mods, duration, pmi=b"nylon-guitar"):
    out = b""
    vi = iter(values); si = iter(switches)
    for key, v in defaults[1:]:
        out += bytes([1 if next(si) else 0]) if isinstance(v, bool) else struct.pack("<d", next(vi))
    out += struct.pack("<d", rate) + bytes([len(notes)])
    for n in notes:
        out += struct.pack("<ddii", *n)
    out += bytes([len(bends), len(mods)])
    for p in bends + mods:
        out += struct.pack("<df", *p)
    return out + struct.pack("<d", duration) + pmi

plain = [v for k, v in defaults[1:] if not isinstance(v, bool)]
switch = [v for k, v in defaults[1:] if isinstance(v, bool)]
put("fuzz_body", "defaults", body_seed(plain, switch, 48000.0, [(0.0, 0.5, 60, 100), (0.5, 0.25, 62, 1)], [(0.0, 0.0)], [(0.0, 0.3)], 1.5))
put("fuzz_body", "non-finite", body_seed([float("nan"), float("inf"), -float("inf"), 1e300, 5e-324] * 4, [True] * 6, float("nan"),
                                         [(float("inf"), float("nan"), -5, 1000)], [(float("nan"), float("inf"))], [], -0.0))
put("fuzz_body", "huge-rate", body_seed(plain, [False] * 6, 1e308, [], [], [(1e-310, 1e-40)], 1e20, b"\xff\xfe\"\\"))
