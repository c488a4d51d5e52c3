#!/usr/bin/env python3
"""Writes samples/receiver-sample.nmea: a capture of the receiver as the filter sees it.

Gps mode first (GGA without time, the time sentence in GPS time with its status), then the
receiver's own RMC for a while, then UTC mode (GGA with time, the time sentence in UTC), with a
few damaged and foreign lines in between. Deterministic: run it again and the file is the same.
"""
import datetime
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# GPS week 0 began at midnight UTC on 1980-01-06.
GPS_EPOCH = datetime.datetime(1980, 1, 6)


def gps_utc_offset():
    """GPS time minus UTC, in seconds: the simulated receiver's, from its one definition."""
    header = (ROOT / "src/host/nmeafilt/receiver_model.h").read_text()
    return int(re.search(r"kGpsUtcOffsetSeconds = (\d+);", header).group(1))


GPS_UTC_OFFSET = gps_utc_offset()


def sentence(body):
    cs = 0
    for ch in body.encode():
        cs ^= ch
    return "$%s*%02X\r\n" % (body, cs)


def latlon(t):
    lat_min = 7.03812 + t * 0.00137
    lon_min = 31.00000 + t * 0.00211
    return "48%08.5f" % lat_min, "011%08.5f" % lon_min


def epoch(t, when, mode, fix, status):
    out = []
    lat, lon = latlon(t)
    hms = when.strftime("%H%M%S")
    quality = "1" if fix else "0"
    gga_time = hms if mode == "utc" else ""
    out.append(sentence("GPGGA,%s,%s,N,%s,E,%s,%02d,0.9,545.%d,M,46.9,M,," %
                        (gga_time, lat, lon, quality, 8 if fix else 0, t % 10)))
    out.append(sentence("GPGSA,A,%s,04,05,,09,12,,,24,,,,,2.5,1.3,2.1" % ("3" if fix else "1")))
    sats = [(4, 77, 123, 42), (5, 23, 51, 38), (9, 12, 300, 30), (12, 45, 210, 44),
            (17, 5, 20, 0), (24, 60, 80, 47), (25, 18, 170, 25), (29, 8, 270, 0)]
    for i in range(2):
        chunk = sats[i * 4:i * 4 + 4]
        body = "GPGSV,2,%d,08" % (i + 1) + "".join(",%02d,%02d,%03d,%02d" % s for s in chunk)
        out.append(sentence(body))
    course = 54.70 + t * 0.25
    speed = 5.5 + (t % 7) * 0.1
    out.append(sentence("GPVTG,%06.2f,T,%06.2f,M,%05.1f,N,%05.1f,K" %
                        (course, course - 20.3, speed, speed * 1.852)))
    out.append(time_sentence(when, mode, status))
    return out


def time_sentence(when, mode, status):
    """The receiver's time sentence, laid out as the receiver model sends it: kind, GPS week,
    second of week, then hhmmss,dd,mm,yyyy in GPS time (gps mode) or UTC (utc mode), status."""
    gps = when + datetime.timedelta(seconds=GPS_UTC_OFFSET)
    week, second = divmod(int((gps - GPS_EPOCH).total_seconds()), 7 * 86400)
    shown = gps if mode == "gps" else when
    return sentence("PQXN,TM,%d,%d,%s,%s,%s,%s,%s" %
                    (week, second, shown.strftime("%H%M%S"), shown.strftime("%d"),
                     shown.strftime("%m"), shown.strftime("%Y"), status))


def main(path):
    start = datetime.datetime(2026, 12, 8, 9, 41, 0)
    lines = ["\x00\x00#boot\r\n", "garbage before the first sentence\r\n"]
    lowercase_due = False
    for t in range(40):
        when = start + datetime.timedelta(seconds=t)
        if t < 14:
            mode, fix, status = "gps", t >= 3, "0" if t < 2 else "2"
        else:
            mode, fix, status = "utc", True, "2"
        ep = epoch(t, when, mode, fix, status)
        if 8 <= t < 11:  # the receiver emits its own RMC while GGA carries no time
            lat, lon = latlon(t)
            ep.insert(4, sentence("GPRMC,%s,A,%s,N,%s,E,005.5,054.70,%s,,,A" %
                                  (when.strftime("%H%M%S"), lat, lon, when.strftime("%d%m%y"))))
        if t == 5:
            ep[0] = ep[0][:-5] + "00\r\n"  # wrong checksum
        if t == 6:
            lowercase_due = True
        # The damaged checksum goes on a standard sentence, whatever the time sentence's digits.
        hexy = [i for i, s in enumerate(ep)
                if any(c in "ABCDEF" for c in s[-4:-2]) and not s.startswith("$PQXN")]
        if lowercase_due and hexy:
            i = hexy[0]
            ep[i] = ep[i][:-4] + ep[i][-4:-2].lower() + "\r\n"  # lowercase checksum digits
            lowercase_due = False
            ep.append(sentence("GPGLL,%s,N,%s,E,%s,A" % (latlon(t)[0], latlon(t)[1],
                                                         when.strftime("%H%M%S"))))
        if t == 7:
            ep[1] = ep[1][:20] + "\x00" + ep[1][21:]  # a zero byte inside a good sentence
            ep.insert(3, ep[3][:25])  # truncated: the next "$" starts over
        if t == 12:
            ep.append(sentence("GPZDA,%s.00,08,12,2026,00,00" % when.strftime("%H%M%S")))
            ep[4] = ep[4][:-3] + "  \r\n"  # junk between checksum and CR LF is dropped
        if t == 20:
            ep[1] = ep[1][:30] + "$" + ep[2]  # a "$" inside a line
            del ep[2]
        if t == 30:
            ep[0] = ep[0].replace("\r\n", "\n")  # LF alone does not end a line
        lines.extend(ep)
    with open(path, "w", newline="") as f:
        f.write("".join(lines))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/receiver-sample.nmea")
