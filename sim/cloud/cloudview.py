"""The cloud simulator's camera page: what a camera owner would see.

The camera's last status report (signal, battery, temperature, SD card,
versions) and a gallery of the pictures the simulator received, newest
first, each with the capture date from its EXIF block. Standard library
only; the EXIF reader is a small, bounds-checked TIFF walker.
"""

import html
import json
import os
import struct
import time
import urllib.parse

# EXIF tags that carry a date, in the order of preference.
TAG_DATETIME_ORIGINAL = 0x9003
TAG_DATETIME_DIGITIZED = 0x9004
TAG_DATETIME = 0x0132
TAG_EXIF_IFD = 0x8769
ASCII = 2
MAX_IFD_ENTRIES = 512  # a real IFD has a few dozen; more means garbage


def _exif_block(data):
    """(TIFF bytes, their offset in data) of the first APP1 "Exif" segment, or (None, 0)."""
    if data[:2] != b"\xff\xd8":
        return None, 0
    pos = 2
    while pos + 4 <= len(data):
        if data[pos] != 0xFF:
            return None
        marker = data[pos + 1]
        if marker == 0xFF:  # fill byte
            pos += 1
            continue
        if marker in (0xD9, 0xDA):  # end of image, start of scan: no EXIF before it
            return None, 0
        length = struct.unpack(">H", data[pos + 2:pos + 4])[0]
        if length < 2:
            return None, 0
        body = data[pos + 4:pos + 2 + length]
        if marker == 0xE1 and body[:6] == b"Exif\0\0":
            return body[6:], pos + 10
        pos += 2 + length
    return None, 0


def exif_dates(data):
    """[(tag, offset in data, text)] of every date tag of a JPEG's EXIF block.

    Example: an APP1 segment "Exif\\0\\0" + "II*\\0" + IFD0 {0x8769 -> Exif IFD
    {0x9003 ASCII "2024:05:01 06:12:00\\0"}}. Anything malformed yields [].
    """
    tiff, base = _exif_block(data)
    if tiff is None or len(tiff) < 8:
        return []
    if tiff[:2] == b"II":
        order = "<"
    elif tiff[:2] == b"MM":
        order = ">"
    else:
        return []
    if struct.unpack(order + "H", tiff[2:4])[0] != 42:
        return []
    found = []
    seen = set()

    def walk(offset, depth):
        if depth > 2 or offset in seen or offset + 2 > len(tiff):
            return
        seen.add(offset)
        count = struct.unpack(order + "H", tiff[offset:offset + 2])[0]
        if count > MAX_IFD_ENTRIES:
            return
        for i in range(count):
            entry = offset + 2 + 12 * i
            if entry + 12 > len(tiff):
                return
            tag, kind, n = struct.unpack(order + "HHI", tiff[entry:entry + 8])
            value = tiff[entry + 8:entry + 12]
            if tag == TAG_EXIF_IFD:
                walk(struct.unpack(order + "I", value)[0], depth + 1)
            elif tag in (TAG_DATETIME_ORIGINAL, TAG_DATETIME_DIGITIZED, TAG_DATETIME) and kind == ASCII:
                where = entry + 8 if n <= 4 else struct.unpack(order + "I", value)[0]
                if n == 0 or where + n > len(tiff):
                    continue
                text = tiff[where:where + n].split(b"\0", 1)[0].decode("latin-1")
                found.append((tag, base + where, text))

    walk(struct.unpack(order + "I", tiff[4:8])[0], 0)
    return found


def exif_date(data):
    """The capture date of a JPEG as "YYYY-MM-DD HH:MM:SS", or None."""
    dates = {tag: text for tag, _, text in exif_dates(data)}
    for tag in (TAG_DATETIME_ORIGINAL, TAG_DATETIME_DIGITIZED, TAG_DATETIME):
        text = dates.get(tag, "")
        # EXIF writes "2024:05:01 06:12:00"; blanks or zeros mean unknown.
        if len(text) >= 19 and text[4] == ":" and text[7] == ":" and text[:4].isdigit() \
                and text[:4] != "0000":
            return "%s-%s-%s" % (text[0:4], text[5:7], text[8:19])
    return None


def set_exif_date(data, when):
    """The JPEG with every EXIF date tag set to `when` ("YYYY:MM:DD HH:MM:SS")."""
    out = bytearray(data)
    for _, offset, text in exif_dates(data):
        if len(text) == len(when):
            out[offset:offset + len(when)] = when.encode("latin-1")
    return bytes(out)


# ---- what the page shows ----

def last_status(requests):
    """(record, status) of the newest camera PUT that carried a "status"."""
    for entry in reversed(requests):
        body = entry.get("json")
        if entry.get("method") == "PUT" and entry.get("path", "").startswith("/camapi/v3/camera/") \
                and isinstance(body, dict) and isinstance(body.get("status"), dict):
            return entry, body["status"]
    return None, None


def gallery(upload_dir):
    """Pictures received, newest first: [{name, size, received, date}]."""
    items = []
    try:
        names = os.listdir(upload_dir)
    except OSError:
        return items
    for name in names:
        path = os.path.join(upload_dir, name)
        try:
            st = os.stat(path)
            with open(path, "rb") as f:
                head = f.read(256 * 1024)  # EXIF lives in the first 64 KiB
        except OSError:
            continue
        if not os.path.isfile(path):
            continue
        items.append({"name": name, "size": st.st_size, "mtime": st.st_mtime_ns,
                      "date": exif_date(head) if name.lower().endswith((".jpg", ".jpeg")) else None})
    items.sort(key=lambda i: (i["mtime"], i["name"]), reverse=True)
    return items


def _get(obj, *keys, default=None):
    for key in keys:
        if isinstance(obj, dict) and key in obj:
            obj = obj[key]
        elif isinstance(obj, list) and isinstance(key, int) and -len(obj) <= key < len(obj):
            obj = obj[key]
        else:
            return default
    return obj


def _bars(n):
    try:
        n = int(n)
    except (TypeError, ValueError):
        n = -1
    cells = "".join('<i class="%s" style="height:%dpx"></i>' % ("on" if i < n else "off", 6 + 5 * i)
                    for i in range(5))
    label = "no SIM" if n < 0 else "%d of 5" % n
    return '<span class="bars">%s</span> %s' % (cells, html.escape(label))


def _row(label, value):
    return "<tr><th>%s</th><td>%s</td></tr>" % (html.escape(label), value)


def _text(value):
    if value is None or value == "":
        return '<span class="none">-</span>'
    if not isinstance(value, str):
        value = json.dumps(value)
    return html.escape(value)


def render_page(requests, upload_dir, picture_url="/view/pictures/", partial=()):
    """The whole page as HTML text. `partial`: resumable uploads not complete yet,
    each {"name", "length", "offset", "received"}."""
    record, status = last_status(requests)
    rows = []
    if status is None:
        rows.append('<tr><td colspan="2" class="none">No status report yet: the camera has not synced.</td></tr>')
    else:
        unit = _get(status, "temperature", "unit", default="")
        temp = _get(status, "temperature", "value")
        used, size = _get(status, "memory", "used"), _get(status, "memory", "size")
        card = "%s of %s used" % (used, size) if used is not None and size is not None else "-"
        notes = [n for n in (status.get("notifications") or []) if isinstance(n, str)]
        if "missing_sd_card" in notes:
            card = "missing"
        elif "bad_sd_format" in notes:
            card += " (read-only)"
        rows += [
            _row("Camera", "%s &middot; IMEI %s" % (_text(status.get("model")), _text(record.get("imei")))),
            _row("Last report", _text(status.get("lastUpdate"))),
            _row("Signal", "%s &middot; %s, %s dBm" % (_bars(_get(status, "signal", "bar")),
                                                        _text(_get(status, "signal", "type")),
                                                        _text(_get(status, "signal", "dBm")))),
            _row("Battery", "%s %% &middot; %s" % (_text(_get(status, "batteries", 0)),
                                                   _text(status.get("batteryType")))),
            _row("Temperature", "%s &deg;%s" % (_text(temp), _text(unit))),
            _row("SD card", _text(card)),
            _row("Camera software", _text(status.get("version"))),
            _row("Modem firmware", _text(status.get("modemFirmware"))),
            _row("Installed", _text(status.get("installDate"))),
        ]
        if notes:
            rows.append(_row("Notifications", _text(", ".join(notes))))
    pictures = gallery(upload_dir)
    cards = []
    for p in pictures:
        quoted = urllib.parse.quote(p["name"], safe="")
        received = time.strftime("%H:%M:%S", time.localtime(p["mtime"] / 1e9))
        cards.append(
            '<figure><img src="%s%s" alt="%s" loading="lazy">'
            "<figcaption><b>%s</b><br>taken %s<br>%d KiB, received %s</figcaption></figure>"
            % (picture_url, quoted, html.escape(p["name"]), html.escape(p["name"]),
               html.escape(p["date"] or "date unknown"), (p["size"] + 1023) // 1024, received))
    if not cards:
        cards.append('<p class="none">No pictures received yet.</p>')
    arriving = ""
    if partial:
        lines = ["<tr><td>%s</td><td>%d of %d KiB (%d %%), %d KiB received in all</td></tr>"
                 % (html.escape(str(u["name"])), u["offset"] // 1024, (u["length"] + 1023) // 1024,
                    100 * u["offset"] // max(1, u["length"]), u["received"] // 1024)
                 for u in partial]
        arriving = "<h2>Arriving (%d)</h2>\n<table>\n%s\n</table>" % (len(partial), "\n".join(lines))
    return PAGE % {"rows": "\n".join(rows), "count": len(pictures), "cards": "\n".join(cards),
                   "arriving": arriving}


PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="refresh" content="5">
<title>Trail camera</title>
<style>
body { font-family: sans-serif; margin: 1.5em; background: #f4f1ea; color: #222; }
h1 { font-size: 1.4em; margin: 0 0 .6em; } h2 { font-size: 1.1em; margin: 1.2em 0 .5em; }
table { border-collapse: collapse; background: #fff; }
th, td { text-align: left; padding: .3em .8em; border-bottom: 1px solid #e3ded3; }
th { color: #555; font-weight: normal; }
.none { color: #888; }
.bars i { display: inline-block; width: 6px; margin-right: 2px; vertical-align: bottom; }
.bars .on { background: #2e7d32; } .bars .off { background: #ccc; }
.gallery { display: flex; flex-wrap: wrap; gap: 12px; }
figure { margin: 0; background: #fff; padding: 6px; width: 220px; }
figure img { width: 220px; height: 124px; object-fit: cover; background: #ddd; display: block; }
figcaption { font-size: .85em; margin-top: 4px; }
</style></head>
<body>
<h1>Trail camera</h1>
<table>
%(rows)s
</table>
%(arriving)s
<h2>Pictures received (%(count)d), newest first</h2>
<div class="gallery">
%(cards)s
</div>
</body></html>
"""
