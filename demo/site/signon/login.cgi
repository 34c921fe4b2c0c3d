#!/usr/bin/python3
"""Development sign-on page standing in for the federation server: asks for a user name and
attributes, issues a Tessera token with `tokengate token issue`, sets the token cookie and sends
the browser back to TargetResource (only to this same site)."""
import html
import os
import re
import subprocess
import sys
import urllib.parse

TOKENGATE = os.environ.get("TG_TOKENGATE_BIN", "tokengate")
PROPERTIES = os.environ.get("TG_SIGNON_PROPERTIES", "")
COOKIE = os.environ.get("TG_TESSERA_NAME", "TesseraToken")
NAME_RE = re.compile(r"^[A-Za-z0-9._-]{1,64}$")


def same_site_target(target):
    """TargetResource if it points at this site, else the application's start page. Browsers
    read "\\" as "/" and drop tabs and line breaks, so "/\\evil.example/" would leave the site:
    only a path with one leading "/" and no "\\" or control character, or a full URL on this
    very host, is followed."""
    host = os.environ.get("HTTP_HOST", "")
    if not target or "\\" in target or any(ord(c) < 0x20 or ord(c) == 0x7F for c in target):
        return "/app/"
    parts = urllib.parse.urlsplit(target)
    if parts.scheme in ("http", "https"):
        if host and parts.netloc == host and "@" not in parts.netloc:
            return target
        return "/app/"
    if not parts.scheme and not parts.netloc and target.startswith("/") and not target.startswith("//"):
        return target
    return "/app/"


def page(body, status="200 OK"):
    sys.stdout.write(f"Status: {status}\r\nContent-Type: text/html; charset=utf-8\r\n"
                     "Cache-Control: no-store\r\n\r\n")
    sys.stdout.write(f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Sign on</title></head>
<body><h1>Development sign-on</h1>{body}</body></html>""")


def form(target, message=""):
    note = f'<p id="message">{html.escape(message)}</p>' if message else ""
    page(f"""{note}
<form method="post" action="login.cgi">
  <input type="hidden" name="TargetResource" value="{html.escape(target)}">
  <p><label>User name <input id="user" name="user" value="alice"></label></p>
  <p><label>Attributes (name=value, one a line)<br>
  <textarea id="attributes" name="attributes" rows="4" cols="40">mail=alice@example.test
role=staff</textarea></label></p>
  <p><button id="signon" type="submit">Sign on</button></p>
</form>""")


def main():
    method = os.environ.get("REQUEST_METHOD", "GET")
    if method != "POST":
        query = urllib.parse.parse_qs(os.environ.get("QUERY_STRING", ""))
        form(query.get("TargetResource", ["/app/"])[0])
        return
    length = min(int(os.environ.get("CONTENT_LENGTH") or 0), 65536)
    fields = urllib.parse.parse_qs(sys.stdin.read(length))
    target = same_site_target(fields.get("TargetResource", ["/app/"])[0])
    user = fields.get("user", [""])[0].strip()
    if not NAME_RE.match(user):
        form(target, "User names are 1 to 64 letters, digits, '.', '_' or '-'.")
        return
    attributes = [f"subject={user}"]
    for line in fields.get("attributes", [""])[0].splitlines():
        line = line.strip()
        if not line:
            continue
        name, sep, value = line.partition("=")
        if not sep or not NAME_RE.match(name.strip()):
            form(target, f"Not an attribute line: {line}")
            return
        attributes.append(f"{name.strip()}={value.strip()}")
    result = subprocess.run([TOKENGATE, "token", "issue", "--config", PROPERTIES, *attributes],
                            capture_output=True, text=True)
    if result.returncode != 0:
        page(f"<p>Token could not be issued: {html.escape(result.stderr)}</p>", "500 Internal Server Error")
        return
    token = result.stdout.strip()
    sys.stdout.write("Status: 303 See Other\r\n"
                     f"Location: {target}\r\n"
                     f"Set-Cookie: {COOKIE}={token}; path=/; HttpOnly; SameSite=Lax\r\n"
                     "Content-Type: text/plain\r\n\r\nSigned on.\n")


main()
