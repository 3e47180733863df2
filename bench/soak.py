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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build-asan")
    ap.add_argument("--minutes", type=float, default=10)
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
        time.sleep(30)  # what is in flight lands or fails
        rss.append(rss_kib(pc.p.pid))
    finally:
        pc_lines, phone_lines = list(pc.lines), list(phone.lines)
        pc.stop()
        phone.stop()

    def report(kind, sent, delivered, failed):
        lost = sent - delivered - failed
        print(f"{kind:18} sent {sent:7}  delivered {delivered:7}  failed with text {failed:6}  lost {lost}")

    # The phone refuses a message it cannot send with one line, whichever kind it was.
    not_sent = count(phone_lines, r"^error -1 .*not sent")
    report("phone messages", ledger["notifications"] + ledger["clip phone->pc"],
           count(pc_lines, r"^notification com\.soak\t") + count(pc_lines, r"^clipboard soak-p-"), not_sent)
    report("clip pc->phone", ledger["clip pc->phone"], count(phone_lines, r"^rx clip soak-c-"),
           count(pc_lines, r"^notice 剪贴板未发出"))
    report("files phone->pc", len(ledger["files phone->pc"]), count(phone_lines, r"^file-out \S+ ok"),
           count(phone_lines, r"^file-out \S+ (fail|dropped|cancelled)"))
    report("files pc->phone", len(ledger["files pc->phone"]), count(pc_lines, r"^row send 100 已完成"),
           count(pc_lines, r"^row send \d+ 失败"))
    print(f"PC RSS KiB every 10 s: {rss}")
    with open(f"{work}/run/dovan.log") as f:
        log = f.read()
    findings = log.count("ERROR: AddressSanitizer") + log.count("ERROR: LeakSanitizer") + log.count("runtime error:")
    print(f"sanitizer findings in dovan: {findings}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
