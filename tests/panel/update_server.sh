#!/bin/sh
# update_server.sh start|stop <folder> <port> <installer>: a fresh self-signed certificate for
# 127.0.0.1 and localhost, then the HTTPS update server in the background; stop ends it.
# Wine matches a host only against the DNS names among the subject alternative names, so
# 127.0.0.1 is listed as one too, beside the IP address entry that Windows checks.
set -u
folder=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$folder"
cd "$folder" || exit 1
if [ -f server.pid ]; then kill "$(cat server.pid)" 2>/dev/null; rm -f server.pid; fi
[ "$1" = stop ] && exit 0
rm -f requests.log document.json http.port hold_document gate
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1" \
  -addext "extendedKeyUsage=serverAuth" >/dev/null 2>&1 || exit 1
openssl x509 -in cert.pem -outform der -out cert.der || exit 1
(python3 "$here/update_server.py" "$3" "$folder" "$4" </dev/null >server.log 2>&1 &)
i=0
while [ ! -f server.pid ]; do i=$((i+1)); [ $i -gt 100 ] && exit 1; sleep 0.1; done
