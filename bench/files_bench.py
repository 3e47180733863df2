#!/usr/bin/env python3
"""A file of SIZE bytes PC -> phone and phone -> PC between `dovan --headless` and the phone
simulator over loopback, and the same file through scp (chacha20-poly1305) against a private
sshd on 127.0.0.1. Prints MB/s, peak RSS and CPU seconds per run. Run it through
bench/files.sh, which gives it a network namespace of its own."""
import argparse
import signal
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

TICK = os.sysconf("SC_CLK_TCK")


class Proc:
    """A child with a line-oriented stdin and stdout."""

    def __init__(self, argv, env, log):
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=open(log, "w"), env=env, text=True, bufsize=1)
        self.lines = []
        self.cv = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.p.stdout:
            with self.cv:
                self.lines.append(line.rstrip("\n"))
                self.cv.notify_all()

    def mark(self):
        with self.cv:
            return len(self.lines)

    def send(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()

    def wait(self, prefix, start=0, timeout=60.0):
        end = time.monotonic() + timeout
        with self.cv:
            while True:
                for line in self.lines[start:]:
                    if line.startswith(prefix):
                        return line
                left = end - time.monotonic()
                if left <= 0 or self.p.poll() is not None:
                    raise RuntimeError(f"no line {prefix!r}; last lines: {self.lines[-8:]}")
                self.cv.wait(left)

    def cpu(self):
        with open(f"/proc/{self.p.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK

    def status_mb(self, key):
        with open(f"/proc/{self.p.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def peak_rss_mb(self):
        return self.status_mb("VmHWM")

    def stop(self):
        try:
            self.send("quit")
            self.p.wait(timeout=10)
        except Exception:
            self.p.kill()
            self.p.wait()


def pair_up(build, root, port):
    env = dict(os.environ)
    env.update({"DOVAN_SIM_RADIO": f"{root}/radio", "APPDATA": f"{root}/appdata", "HOME": f"{root}/home"})
    for d in ("radio", "appdata", "home", "phone"):
        os.makedirs(f"{root}/{d}", exist_ok=True)
    os.chmod(f"{root}/radio", 0o700)  # refused if group or others may write, whatever the umask
    phone = Proc([f"{build}/phone-sim", "--radio", f"{root}/radio", "--data", f"{root}/phone",
                  "--lan-port", str(port)], env, f"{root}/phone.log")
    addr = phone.wait("address ").split()[1]
    pc = Proc([f"{build}/dovan", "--headless", "--lan-port", str(port)], env, f"{root}/dovan.log")
    deadline = time.monotonic() + 60
    while True:
        m = pc.mark()
        pc.send("devices")
        pc.wait("devices end", m)
        if any(l.startswith("device " + addr) for l in pc.lines[m:]):
            break
        if time.monotonic() > deadline:
            raise RuntimeError("the phone never showed up")
        time.sleep(0.2)
    m = pc.mark()
    pc.send("connect " + addr)
    pc.wait("sas ", m)
    pc.send("sas confirm")
    pc.wait("tcp 1", m)
    phone.wait("tcp 1")
    return pc, phone


def start_perf(perf_dir, name, pid):
    # Sampling both sides while the file moves tells where the time goes. The build keeps no
    # frame pointers, so call chains come from DWARF unwinding.
    os.makedirs(perf_dir, exist_ok=True)
    return subprocess.Popen(["perf", "record", "-q", "--call-graph", "dwarf,16384", "-F", "299", "-p", str(pid),
                             "-o", f"{perf_dir}/{name}.data"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def dovan_run(build, work, big, digest, direction, port, perf_dir=None):
    root = tempfile.mkdtemp(dir=work, prefix="run-")
    pc, phone = pair_up(build, root, port)
    perfs = []
    try:
        if perf_dir:
            tag = direction.replace("->", "-to-")
            perfs = [start_perf(perf_dir, f"pc-{tag}", pc.p.pid), start_perf(perf_dir, f"phone-{tag}", phone.p.pid)]
            time.sleep(0.5)
        cpu0 = (pc.cpu(), phone.cpu())
        t0 = time.monotonic()
        if direction == "pc->phone":
            pc.send("send " + big)
            phone.wait(f"file-in {os.path.basename(big)} ok {digest}", timeout=900)
            received = f"{root}/phone/inbox/{os.path.basename(big)}"
        else:
            phone.send("send " + big)
            phone.wait(f"file-out {os.path.basename(big)} ok", timeout=900)
            received = f"{root}/home/Downloads/Dovan/{os.path.basename(big)}"
        seconds = time.monotonic() - t0
        for p in perfs:
            p.send_signal(signal.SIGINT)
            p.wait()
        result = {
            "MB/s": os.path.getsize(big) / 1e6 / seconds,
            "seconds": seconds,
            "pc_rss_mb": pc.peak_rss_mb(),
            "phone_rss_mb": phone.peak_rss_mb(),
            "pc_cpu_s": pc.cpu() - cpu0[0],
            "phone_cpu_s": phone.cpu() - cpu0[1],
        }
        if os.path.getsize(received) != os.path.getsize(big):
            raise RuntimeError("received file has the wrong size")
        # What the PC keeps once the transfer has settled: its buffers should be given back.
        time.sleep(3)
        result["pc_rss_after_mb"] = pc.status_mb("VmRSS")
        return result
    finally:
        pc.stop()
        phone.stop()
        shutil.rmtree(root, ignore_errors=True)


def start_sshd(work):
    d = f"{work}/ssh"
    os.makedirs(d, exist_ok=True)
    os.makedirs("/run/sshd", exist_ok=True)
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{d}/host"], check=True)
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{d}/user"], check=True)
    shutil.copy(f"{d}/user.pub", f"{d}/authorized_keys")
    with open(f"{d}/sshd_config", "w") as f:
        f.write(f"""Port 2222
ListenAddress 127.0.0.1
HostKey {d}/host
AuthorizedKeysFile {d}/authorized_keys
PidFile {d}/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
PermitRootLogin prohibit-password
Ciphers chacha20-poly1305@openssh.com
Subsystem sftp internal-sftp
""")
    sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", f"{d}/sshd_config"],
                            stderr=open(f"{d}/sshd.log", "w"))
    time.sleep(0.5)
    user = os.environ.get("USER") or "root"
    opts = ["-q", "-c", "chacha20-poly1305@openssh.com", "-i", f"{d}/user", "-P", "2222",
            "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes"]
    return sshd, opts, user


def scp_run(opts, user, work, big, direction):
    dest = f"{work}/scp-copy"
    src, dst = (big, f"{user}@127.0.0.1:{dest}") if direction == "pc->phone" else (f"{user}@127.0.0.1:{big}", dest)
    before = os.times()
    t0 = time.monotonic()
    subprocess.run(["scp", *opts, src, dst], check=True)
    seconds = time.monotonic() - t0
    after = os.times()
    size = os.path.getsize(dest)
    os.remove(dest)
    return {"MB/s": size / 1e6 / seconds, "seconds": seconds,
            "client_cpu_s": (after.children_user - before.children_user) + (after.children_system - before.children_system)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work", default=None)
    ap.add_argument("--perf", default=None, help="folder for perf profiles of both sides")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    work = a.work or tempfile.mkdtemp(prefix="dovan-bench-")
    os.makedirs(work, exist_ok=True)
    big = f"{work}/big.bin"
    h = hashlib.sha256()
    with open(big, "wb") as f:
        block = os.urandom(1 << 20)
        for i in range(a.size_mib):
            # Varied blocks without paying for 1 GiB of randomness.
            b = i.to_bytes(8, "little") + block[8:]
            f.write(b)
            h.update(b)
    digest = h.hexdigest()
    with open("/proc/loadavg") as f:
        print("load average before:", f.read().strip())
    sshd, opts, user = start_sshd(work)
    port = 47000
    try:
        for direction in ("pc->phone", "phone->pc"):
            # Alternating, so both meet the machine (page cache, neighbours) in the same state.
            for run in range(a.runs):
                port += 1
                r = dovan_run(build, work, big, digest, direction, port, a.perf)
                print(f"dovan {direction} run {run + 1}: " + ", ".join(f"{k} {v:.2f}" for k, v in r.items()), flush=True)
                r = scp_run(opts, user, work, big, direction)
                print(f"scp   {direction} run {run + 1}: " + ", ".join(f"{k} {v:.2f}" for k, v in r.items()), flush=True)
    finally:
        sshd.terminate()
        sshd.wait()
        with open("/proc/loadavg") as f:
            print("load average after:", f.read().strip())
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
