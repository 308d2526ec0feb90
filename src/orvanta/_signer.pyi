def _body_hash(body: bytes | None) -> str: ...
def sign_request(
    sign_secret: str,
    method: str,
    path: str,
    body: bytes | None = None,
    *,
    params: dict[str, str] | None = None,
) -> dict[str, str]: ...
