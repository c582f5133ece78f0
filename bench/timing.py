"""Wall time and peak memory of commands, run side by side."""
import os
import subprocess
import time


def run(cmd, stderr=subprocess.DEVNULL, env=None):
    """Runs cmd (a list); returns (seconds, peak RSS in MiB, CPU seconds: user
    + sys of it and of the processes it waited for). stderr: a file to keep
    the command's messages in (a file, not a pipe: wait4 would deadlock on a
    full pipe). env: variables added to the environment."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=stderr,
                            env=dict(os.environ, **env) if env else None)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("command failed: " + " ".join(cmd))
    return elapsed, usage.ru_maxrss / 1024.0, usage.ru_utime + usage.ru_stime


SPEECH = ("The quick brown fox jumps over the lazy dog. Audio enhancement makes speech clear "
          "and level. Podcasts and archives sound better when the noise is gone. One two three "
          "four five six seven eight nine ten.")


def make_speech(path, minutes, rate=44100):
    """Speech from espeak-ng, looped to the length, in a quiet room (pink
    noise at -50 dBFS), stereo."""
    if os.path.exists(path):
        return path
    part = path + ".part.wav"
    voice = path + ".voice.wav"
    subprocess.run(["espeak-ng", "-s", "150", "-w", voice, SPEECH], check=True)
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-i", voice, "-f", "lavfi", "-i",
                    f"anoisesrc=color=pink:amplitude=0.003:sample_rate={rate}:d={minutes * 60}",
                    "-filter_complex",
                    f"[0:a]aresample={rate},aloop=loop=-1:size=2000000000,atrim=duration="
                    f"{minutes * 60},aformat=channel_layouts=stereo[s];"
                    "[1:a]aformat=channel_layouts=stereo[n];[s][n]amix=inputs=2:normalize=0",
                    "-c:a", "pcm_s16le", part], check=True)
    os.remove(voice)
    os.replace(part, path)
    return path


def make_recording(path, minutes, rate=44100):
    """Speech-like program material: tones with a syllable envelope plus noise."""
    if os.path.exists(path):
        return path
    part = path + ".part"  # renamed when complete, so an interrupted run leaves no short file
    expr = ("0.25*sin(2*PI*220*t)*(0.5+0.5*sin(2*PI*3*t))+0.1*sin(2*PI*1800*t)*"
            "(0.5+0.5*sin(2*PI*5*t))")
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                    f"aevalsrc={expr}|{expr}:s={rate}:d={minutes * 60}", "-f", "lavfi", "-i",
                    f"anoisesrc=color=pink:amplitude=0.01:sample_rate={rate}:d={minutes * 60}",
                    "-filter_complex", "[0:a][1:a]amix=inputs=2:normalize=0",
                    "-c:a", "pcm_s16le", "-ac", "2", "-f", "wav", part], check=True)
    os.replace(part, path)
    return path
