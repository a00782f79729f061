#!/usr/bin/env python3
"""Writes the seed corpus of task_list_folder_fuzz: inputs laid out the way the
target's FuzzedDataProvider reads them (strings from the front, choices from
the back)."""
import os
import sys

NAMES = ["a.ics", "tavrelin-00ff.ics", "x.y+z_-.ics", "a b.ics", "..ics", "né.ics", "a.ics.tmp", "displayname.ics"]


def string(text):
    raw = text.encode() if isinstance(text, str) else text
    return raw.replace(b"\\", b"\\\\") + b"\\x"


def seed(displayname, files, title, notes, all_day, due, key):
    front, back = b"", []
    back.append(displayname is not None)
    if displayname is not None:
        front += string(displayname)
    back.append(len(files))
    for name, content in files:
        back.append(NAMES.index(name))
        front += string(content)
    front += string(title)
    back.append(notes is not None)
    if notes is not None:
        front += string(notes)
    back.append(all_day)
    front += string(due)
    front += key.encode()
    return front + bytes(int(b) for b in reversed(back))


TODO = (
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Tavrelin//Tavrelin Agent//EN\r\nBEGIN:VTODO\r\nUID:a\r\n"
    "SUMMARY:Call the dentist\\, today\r\nDESCRIPTION:line one\\nline two\r\nDUE:20300504T093000\r\n"
    "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Call\r\nTRIGGER;VALUE=DATE-TIME:20300504T073000Z\r\n"
    "END:VALARM\r\nEND:VTODO\r\nEND:VCALENDAR\r\n"
)
EVENT = (
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//example//calendar//EN\r\nBEGIN:VEVENT\r\nUID:e\r\n"
    "SUMMARY:Dentist\r\nDTSTART:20300504T093000\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"
)
SEEDS = {
    "timed-with-notes": seed("Reminders\n", [("a.ics", TODO)], "Call the dentist", "Bring the card", False,
                             "2030-05-04T09:30:00", "relay.example\nitem-1"),
    "all-day-unicode": seed("Groceries \u00e9\u0301 \U0001F6D2", [("tavrelin-00ff.ics", TODO.replace("DUE:20300504T093000", "DUE;VALUE=DATE:20300505"))],
                            "Milk, eggs; \u201cfresh\u201d \u2014 caf\u00e9 \\ / : \U0001F95B", None, True, "2030-05-05", "k"),
    "no-displayname-out-of-range": seed(None, [], "Out of range", "", False, "2024-13-45T25:75", "x"),
    "odd-files": seed("\r\n", [("a b.ics", TODO), ("..ics", "BEGIN:VTODO\r\nEND:VTODO\r\n"), ("a.ics.tmp", "garbage")],
                      "t", "notes\r\nwith\tcontrols\x01", False, "+9999-12-31T23:59", ""),
    "broken-ics": seed("List", [("x.y+z_-.ics", TODO[:120]), ("né.ics", "BEGIN:VCALENDAR\r\nBEGIN:VTODO\r\nDUE:garbage\r\n"
                                                                   "BEGIN:VALARM\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n")],
                       "", None, True, "0000-00-00", "y"),
    "events-only": seed("Calendar\n", [("a.ics", EVENT), ("x.y+z_-.ics", EVENT.lower())], "t", None, False, "", "k"),
    "event-beside-task": seed("Mixed", [("a.ics", EVENT), ("a b.ics", TODO)], "t", None, True, "2030-05-05", "m"),
}

folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "task_list_folder_fuzz")
os.makedirs(folder, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)
