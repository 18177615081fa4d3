"""A loopback stand-in for Microsoft Entra ID, so that azure-identity's real code fetches tokens:
the service principal's sign-in (tenant discovery and token endpoint, over HTTPS) and the instance
metadata service of a virtual machine's managed identity (plain HTTP, as there).  Tokens are unsigned JWTs that the
emulator's OAuth mode accepts."""
import base64
import json
import ssl
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

TENANT = "72f988bf-0000-4000-8000-00000000c0de"
CLIENT_ID = "0b5c1a4e-0000-4000-8000-00000000beef"


def make_certificate(directory):
    """A self-signed certificate for 127.0.0.1 and its key: (cert path, key path)."""
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    return cert, key


def unsigned_jwt(lifetime=3600):
    def part(value):
        return base64.urlsafe_b64encode(json.dumps(value).encode()).rstrip(b"=").decode()
    now = int(time.time())
    claims = {"aud": "https://storage.azure.com", "iss": f"https://sts.windows.net/{TENANT}/",
              "nbf": now - 60, "iat": now - 60, "exp": now + lifetime, "oid": CLIENT_ID, "tid": TENANT}
    return f"{part({'alg': 'RS256', 'typ': 'JWT'})}.{part(claims)}.c2lnbmF0dXJl"


class IdentityServer:
    """Serves on a free loopback port until closed; `issued` counts the tokens handed out.  The
    machine has a managed identity while `assigned` is true."""

    def __init__(self, client_secret, cert=None, key=None):
        self.client_secret = client_secret
        self.assigned = True
        self.issued = 0
        self.requests = []  # (method, path, body) of every request, for secret checks
        self._http = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._http.state = self
        if cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            self._http.socket = context.wrap_socket(self._http.socket, server_side=True)
        scheme = "https" if cert else "http"
        self.url = f"{scheme}://127.0.0.1:{self._http.server_address[1]}"
        self._thread = threading.Thread(target=self._http.serve_forever, daemon=True)
        self._thread.start()

    def close(self):
        self._http.shutdown()
        self._http.server_close()


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        state = self.server.state
        url = urlsplit(self.path)
        state.requests.append(("GET", self.path, ""))
        if url.path.endswith("/.well-known/openid-configuration"):
            base = f"{state.url}/{TENANT}"
            self.answer(200, {"issuer": f"{base}/v2.0", "token_endpoint": f"{base}/oauth2/v2.0/token",
                              "authorization_endpoint": f"{base}/oauth2/v2.0/authorize",
                              "device_authorization_endpoint": f"{base}/oauth2/v2.0/devicecode"})
        elif url.path == "/metadata/identity/oauth2/token" and self.headers.get("Metadata") == "true":
            if not state.assigned:
                self.answer(400, {"error": "invalid_request", "error_description": "Identity not found"})
                return
            resource = parse_qs(url.query).get("resource", [""])[0]
            self.issue({"expires_in": "3600", "expires_on": str(int(time.time()) + 3600), "resource": resource})
        else:
            self.answer(404, {"error": "not_found"})

    def do_POST(self):
        state = self.server.state
        body = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode()
        state.requests.append(("POST", self.path, body))
        form = {name: values[0] for name, values in parse_qs(body).items()}
        if not self.path.endswith("/oauth2/v2.0/token"):
            self.answer(404, {"error": "not_found"})
        elif form.get("client_id") != CLIENT_ID or form.get("client_secret") != state.client_secret:
            self.answer(401, {"error": "invalid_client",
                              "error_description": "AADSTS7000215: Invalid client secret provided."})
        else:
            self.issue({"expires_in": 3600, "ext_expires_in": 3600})

    def issue(self, members):
        self.server.state.issued += 1
        self.answer(200, {"access_token": unsigned_jwt(), "token_type": "Bearer", **members})

    def answer(self, status, document):
        body = json.dumps(document).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
