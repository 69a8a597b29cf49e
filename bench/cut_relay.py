#!/usr/bin/env python3
"""Relays 127.0.0.1:PORT to 127.0.0.1:TARGET, closing each connection once CUT bytes of the
answer have passed (0: never), as a dropped connection does; writes the answer bytes it
passed in all to COUNT_FILE whenever a connection ends.
    cut_relay.py PORT TARGET CUT COUNT_FILE"""
import socket
import sys
import threading

port, target, cut, count_file = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
passed = 0
lock = threading.Lock()


def requests(client, server):
    try:
        while data := client.recv(65536):
            server.sendall(data)
    except OSError:
        pass


def relay(client):
    global passed
    server = socket.create_connection(("127.0.0.1", target))
    threading.Thread(target=requests, args=(client, server), daemon=True).start()
    buffer, left, moved = bytearray(1 << 20), cut or -1, 0
    try:
        while left != 0 and (n := server.recv_into(buffer, len(buffer) if left < 0 else min(len(buffer), left))):
            client.sendall(memoryview(buffer)[:n])
            moved += n
            left = left - n if left > 0 else left
    except OSError:
        pass
    # A shutdown, not only a close: the thread still reading the request would keep the
    # connection open.
    for end in (client, server):
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        end.close()
    with lock:
        passed += moved
        open(count_file, "w").write(str(passed))


listener = socket.create_server(("127.0.0.1", port))
while True:
    connection, _ = listener.accept()
    threading.Thread(target=relay, args=(connection,), daemon=True).start()
