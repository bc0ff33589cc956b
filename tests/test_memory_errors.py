import subprocess
import sys
import textwrap


def test_failed_allocation_is_a_memory_error(tmp_path):
    # 25 million numbers need far more than the cap for their parse; the
    # interpreter must survive with a MemoryError, and keep working.
    path = tmp_path / "many.json"
    path.write_text("[" + "1," * 25_000_000 + "1]")
    script = textwrap.dedent(
        f"""
        import os, resource
        from qvtok import bigjson
        def vm():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024
        cap = vm() + 150 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        fds = len(os.listdir("/proc/self/fd"))
        try:
            bigjson.load({str(path)!r})
        except MemoryError:
            print("MemoryError")
        print(bigjson.count({str(path)!r}))
        print(len(os.listdir("/proc/self/fd")) == fds)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split()
    assert lines == ["MemoryError", "25000001", "True"]
