#!/usr/bin/python3
"""Parses a received .eml with Python's email package and prints what a test checks, as JSON.

Usage: parsemail.py MAIL.eml [ATTACHMENT_OUT]  (the attachment's decoded bytes go to ATTACHMENT_OUT)
"""
import email
import email.policy
import json
import sys
from email.header import decode_header
from email.utils import parseaddr


def decoded(value):
    """The text of a header with encoded words, each decoded strictly by its declared charset:
    a label that does not fit its bytes fails here, as it would garble the text for a reader."""
    if not value:
        return ""
    text = ""
    for chunk, charset in decode_header(value):
        if isinstance(chunk, str):
            text += chunk
        else:
            text += chunk.decode(charset or "ascii", "strict")
    return text


def person(raw):
    name, address = parseaddr(raw or "")
    return {"name": decoded(name), "address": address}


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    message = email.message_from_bytes(raw, policy=email.policy.compat32)
    result = {
        "subject": decoded(message["Subject"]),
        "from": person(message["From"]),
        "to": person(message["To"]),
        "date": message["Date"],
        "message_id": message["Message-ID"],
        "report": message["X-Crashui-Report"],
        "archive_sha256": message["X-Crashui-Archive-SHA256"],
        "x_mailer": message["X-Mailer"],
        "x_priority": message["X-Priority"],
        "content_type": message.get_content_type(),
        "boundary": message.get_boundary(),
        "parts": [],
        "max_line": max((len(line) for line in raw.split(b"\r\n")), default=0),
        "bare_lf": raw.replace(b"\r\n", b"").count(b"\n"),
    }
    for part in message.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        entry = {
            "type": part.get_content_type(),
            "charset": part.get_content_charset(),
            "filename": part.get_filename(),
            "encoding": part["Content-Transfer-Encoding"],
            "size": len(payload),
        }
        if entry["type"] == "text/plain":
            entry["text"] = payload.decode(entry["charset"] or "ascii", "strict")
        elif len(sys.argv) > 2:
            with open(sys.argv[2], "wb") as f:
                f.write(payload)
        result["parts"].append(entry)
    print(json.dumps(result, ensure_ascii=False))


if __name__ == "__main__":
    main()
