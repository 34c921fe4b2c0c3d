#!/usr/bin/python3
"""Shows whom a request handed on under the user's identity runs for: the account name, the
authentication type and the principal of the credential cache offered in KRB5CCNAME."""
import os
import shutil
import subprocess

cache = os.environ.get("KRB5CCNAME", "")
principal = ""
if cache:
    klist = shutil.which("klist") or "/usr/bin/klist"
    listing = subprocess.run([klist, "-c", cache], capture_output=True, text=True).stdout
    for line in listing.splitlines():
        if line.startswith("Default principal:"):
            principal = line.split(":", 1)[1].strip()

print("Content-Type: text/plain; charset=utf-8")
print("Cache-Control: no-store")
print()
print(f"REMOTE_USER={os.environ.get('REMOTE_USER', '')}")
print(f"AUTH_TYPE={os.environ.get('AUTH_TYPE', '')}")
print(f"KRB5CCNAME={cache}")
print(f"PRINCIPAL={principal}")
