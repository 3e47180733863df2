"""Mixed traffic between dovan and the phone simulator for a while, with a ledger: every
notification, clipboard text and file sent is accounted for at the other end (delivered, or
failed with a text); what is neither is lost. Run through soak.sh."""
import argparse
import os
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from files_bench import pair_up  # noqa: E402


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def count(lines, pattern):
    rx = re.compile(pattern)
    return sum(1 for line in lines if rx.search(line))


def numbers(lines, pattern):
    rx = re.compile(pattern)
    return {int(m.group(1)) for line in lines for m in [rx.search(line)] if m}


def files_open(ledger, pc_lines, phone_lines):
    """Whether a file sent either way has no final line yet."""
    out_done = count(phone_lines, r"^file-out \S+ (ok|fail|dropped|cancelled|unconfirmed)")
    in_done = count(pc_lines, r"^row send \d+ (已完成|失败|已发送（未确认）|已发完（结束帧未发出）)\t") + \
        count(pc_lines, r"^notice (未配对，\S+ 没有发送|打开文件失败|路径不是文件|创建发送任务失败|FILE_META 发送失败)")
    return out_done < len(ledger["files phone->pc"]) or in_done < len(ledger["files pc->phone"])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build-asan")
    ap.add_argument("--minutes", type=float, default=10)
    ap.add_argument("--keep", help="leave both programs' output and logs in this folder")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    work = tempfile.mkdtemp(prefix="dovan-soak-")
    files = {}
    for name, size in (("small.bin", 3000), ("mid.bin", 700_000), ("big.bin", 3_000_000)):
        path = f"{work}/{name}"
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        files[name] = path

    pc, phone = pair_up(build, f"{work}/run", 47900)
    ledger = {"notifications": 0, "clip phone->pc": 0, "clip pc->phone": 0, "files phone->pc": [], "files pc->phone": []}
    rss = []
    start = time.monotonic()
    end = start + a.minutes * 60
    tick = 0
    next_drop, next_tcp_drop, next_file, next_rss = start + 30, start + 45, start + 5, start
    file_no = 0
    try:
        while time.monotonic() < end:
            now = time.monotonic()
            tick += 1
            # Notifications at 50 a second.
            ledger["notifications"] += 1
            n = ledger["notifications"]
            phone.send(f"notify {n % 100000} 0 com.soak\\t浸泡\\t第 {n} 条")
            if tick % 100 == 0:
                ledger["clip phone->pc"] += 1
                phone.send(f"clip soak-p-{ledger['clip phone->pc']}")
            if tick % 100 == 50:
                ledger["clip pc->phone"] += 1
                pc.send(f"clip soak-c-{ledger['clip pc->phone']}")
            if now >= next_file:
                next_file = now + 7
                file_no += 1
                name = ("small.bin", "mid.bin", "big.bin")[file_no % 3]
                if file_no % 2:
                    fault = ("", " corrupt=1", " drop=2")[file_no % 3]
                    ledger["files phone->pc"].append(name)
                    phone.send(f"send {files[name]} chunk=65536{fault}")
                else:
                    ledger["files pc->phone"].append(name)
                    pc.send(f"send {files[name]}")
            if now >= next_tcp_drop:
                # The TCP connection goes in the middle of a file.
                next_tcp_drop = now + 45
                ledger["files phone->pc"].append("big.bin")
                phone.send(f"send {files['big.bin']} chunk=65536 droptcp=3")
            if now >= next_drop:
                next_drop = now + 30
                phone.send("drop")
            if now >= next_rss:
                next_rss = now + 10
                rss.append(rss_kib(pc.p.pid))
            time.sleep(0.02)
        # Let what is in flight land or fail: files end with a line on both sides, and a
        # message sent just before the end needs a moment.
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and files_open(ledger, list(pc.lines), list(phone.lines)):
            time.sleep(1)
        time.sleep(5)
        rss.append(rss_kib(pc.p.pid))
    finally:
        pc_lines, phone_lines = list(pc.lines), list(phone.lines)
        pc.stop()
        phone.stop()

    print("kind               sent / delivered / failed with a text / in flight at a drop / lost")

    def report(kind, sent, delivered, failed, in_flight=0, missing=()):
        lost = sent - delivered - failed - in_flight
        line = f"{kind:18} {sent:7} {delivered:7} {failed:6} {in_flight:4} {lost:4}"
        if missing:
            line += f"   not delivered: {list(missing)[:12]}{' ...' if len(missing) > 12 else ''}"
        print(line)

    notified = numbers(pc_lines, r"^notification com\.soak\t浸泡\t第 (\d+) 条")
    clips_in = numbers(pc_lines, r"^clipboard soak-p-(\d+)$")
    # The phone names every message it could not send (0x10 notification, 0x20 clipboard).
    report("phone messages", ledger["notifications"] + ledger["clip phone->pc"], len(notified) + len(clips_in),
           count(phone_lines, r"^error -1 message 0x(10|20) not sent"),
           missing=[n for n in range(1, ledger["notifications"] + 1) if n not in notified])
    clips_out = numbers(phone_lines, r"^rx clip soak-c-(\d+)$")
    report("clip pc->phone", ledger["clip pc->phone"], len(clips_out), count(pc_lines, r"^notice 剪贴板未发出"),
           missing=[n for n in range(1, ledger["clip pc->phone"] + 1) if n not in clips_out])
    report("files phone->pc", len(ledger["files phone->pc"]), count(phone_lines, r"^file-out \S+ ok$"),
           count(phone_lines, r"^file-out \S+ (fail|dropped|cancelled)"),
           count(phone_lines, r"^file-out \S+ unconfirmed"))
    # A file the PC could not start has a notice and no row; one whose answer never came
    # is "已发送（未确认）", which nobody can settle.
    report("files pc->phone", len(ledger["files pc->phone"]), count(pc_lines, r"^row send 100 已完成\t"),
           count(pc_lines, r"^row send \d+ (失败|已发完（结束帧未发出）)\t") +
           count(pc_lines, r"^notice (未配对，\S+ 没有发送|打开文件失败|路径不是文件|创建发送任务失败|FILE_META 发送失败)"),
           count(pc_lines, r"^row send \d+ 已发送（未确认）\t"))
    feed_lost = sum(int(l.split()[1]) for l in pc_lines if re.match(r"^lost \d+$", l))
    print(f"console events the PC's feed dropped before they were printed: {feed_lost}")
    print(f"PC RSS KiB every 10 s: {rss}")
    for program, log_name in (("dovan", "dovan.log"), ("phone-sim", "phone.log")):
        with open(f"{work}/run/{log_name}") as f:
            log = f.read()
        findings = log.count("ERROR: AddressSanitizer") + log.count("ERROR: LeakSanitizer") + log.count("runtime error:")
        print(f"sanitizer findings in {program}: {findings}")
    if a.keep:
        os.makedirs(a.keep, exist_ok=True)
        for name, lines in (("pc.out", pc_lines), ("phone.out", phone_lines)):
            with open(f"{a.keep}/{name}", "w") as f:
                f.write("\n".join(lines) + "\n")
        for name in ("dovan.log", "phone.log"):
            shutil.copy(f"{work}/run/{name}", f"{a.keep}/{name}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
