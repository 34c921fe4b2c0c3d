#!/usr/bin/python3
"""The demo's protected application: shows who the gate says the user is and every request
header it received."""
import html
import os

rows = []
for key in sorted(os.environ):
    if key.startswith("HTTP_"):
        name = key[5:].replace("_", "-").title()
        rows.append(f"<tr><th>{html.escape(name)}</th><td>{html.escape(os.environ[key])}</td></tr>")

user = os.environ.get("HTTP_TARVEX_SUBJECT", "")
print("Content-Type: text/html; charset=utf-8")
print("Cache-Control: no-store")
print()
print(f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Protected application</title></head>
<body>
<h1>Protected application</h1>
<p>Signed on as <strong id="user">{html.escape(user)}</strong>.</p>
<p><a id="logout" href="/logout?resume=/logout.html">Log out</a> &middot;
   <a id="reload" href="/app/">Reload</a></p>
<h2>Request headers received</h2>
<table id="headers">{''.join(rows)}</table>
</body></html>""")
