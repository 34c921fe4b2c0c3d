#!/usr/bin/python3
"""The site's error document, written as the front controllers of many applications are: it
routes by the request-target as the client sent it (REQUEST_URI, which Apache keeps across the
internal redirect to an error document), decoded and normalised. A route under /app/ is the
application's protected page; anything else is "not found"."""
import html
import os
import posixpath
import urllib.parse

target = os.environ.get("REQUEST_URI", "").split("?", 1)[0]
path = urllib.parse.unquote(target).replace("\\", "/")
route = posixpath.normpath("/" + path.lstrip("/"))
user = os.environ.get("HTTP_TARVEX_SUBJECT", "")

print("Content-Type: text/html; charset=utf-8")
print("Cache-Control: no-store")
if route == "/app" or route.startswith("/app/"):
    print()
    print(f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Protected application</title></head>
<body><h1>Protected application (routed)</h1>
<p>Signed on as <strong id="user">{html.escape(user)}</strong>.</p></body></html>""")
else:
    print("Status: 404 Not Found")
    print()
    print("""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Not found</title></head>
<body><h1>Not found</h1><p>There is no such page.</p></body></html>""")
