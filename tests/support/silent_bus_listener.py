"""A socket that takes every connection and never answers, as a stopped or wedged session bus does.

usage: /usr/bin/python3 silent_bus_listener.py SOCKET [LOG]   (LOG: a line for each connection)
"""
import socket
import sys

listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1])
listener.listen(64)
held = []
while True:
    held.append(listener.accept()[0])
    if len(sys.argv) > 2:
        with open(sys.argv[2], "a", encoding="utf-8") as log:
            log.write("connection\n")
