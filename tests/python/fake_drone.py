"""A quadcopter for one test: run inside a network namespace of its own
(unshare -rn), it brings up the loopback interface, takes the drone's address
192.168.1.1 on it, answers the navdata trigger with a navdata packet (battery
NN %), and runs the command given on its command line. It then prints every AT
command it received, one per line, after a line "AT commands:".

    unshare -rn python3 fake_drone.py BATTERY COMMAND...
"""
import socket
import struct
import subprocess
import sys
import threading

DRONE = "192.168.1.1"
AT_PORT, NAVDATA_PORT = 5556, 5554


def navdata(battery):
    demo = struct.pack("<HHII3fi3fIII", 0, 4 + 40 + 8, 0x20000, battery, 0.0, 0.0, 0.0, 0, 0.0, 0.0, 0.0, 0, 0, 0)
    body = struct.pack("<IIII", 0x55667788, 0, 1, 0) + demo
    return body + struct.pack("<HHI", 0xFFFF, 8, sum(body))


def main():
    battery, command = int(sys.argv[1]), sys.argv[2:]
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "addr", "add", DRONE + "/32", "dev", "lo"], check=True)
    at = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    at.bind((DRONE, AT_PORT))
    nav = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    nav.bind((DRONE, NAVDATA_PORT))
    received = []

    def answer_navdata():
        while True:
            _, sender = nav.recvfrom(64)
            nav.sendto(navdata(battery), sender)

    def collect_at():
        while True:
            data, _ = at.recvfrom(65536)
            received.extend(c for c in data.decode("ascii", "replace").split("\r") if c)

    for worker in (answer_navdata, collect_at):
        threading.Thread(target=worker, daemon=True).start()
    status = subprocess.run(command).returncode
    sys.stdout.flush()
    print("AT commands:")
    print("\n".join(received), flush=True)
    sys.exit(status)


if __name__ == "__main__":
    main()
