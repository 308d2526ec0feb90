import pytest
from loopback import LoopbackServer, Response, signature_ok

import orvanta
from orvanta.singleton import set_instance

SERVICE_KEY = "AK-service"
SERVICE_SECRET = "service-secret"
ARROW_STREAM = "application/vnd.apache.arrow.stream"


class DataService:
    """A loopback data service that checks every signature and answers as the real one does.

    ``answers[path]`` is what a request to ``path`` gets: for a GET any JSON value (sent as
    ``{"data": value}``), for a POST the bytes of an Arrow IPC stream (sent chunked, in pieces
    of ``chunk_size`` bytes), or a ready :class:`Response`. Unknown paths get 404.
    """

    def __init__(self) -> None:
        self.answers: dict[str, object] = {}
        self.chunk_size = 1000
        self.server = LoopbackServer(self._handle)

    @property
    def requests(self):
        return self.server.requests

    def _handle(self, request):
        if request.headers.get("X-Api-Key") != SERVICE_KEY or not signature_ok(
            SERVICE_SECRET, request
        ):
            return Response.error(401, "签名校验失败", "bad_signature")
        if request.path not in self.answers:
            return Response.error(404, "not found", "not_found")
        answer = self.answers[request.path]
        if isinstance(answer, Response):
            return answer
        if request.method == "POST":
            size = self.chunk_size
            pieces = [answer[i : i + size] for i in range(0, len(answer), size)]
            return Response(200, pieces, {"Content-Type": ARROW_STREAM}, chunked=True)
        return Response.data(answer)


@pytest.fixture(scope="session")
def _running_data_service():
    service = DataService()
    with service.server:
        # One client for the session: building an httpx client costs a good part of a second.
        client = orvanta.init(service.server.url, SERVICE_KEY, SERVICE_SECRET, timeout=5)
        try:
            yield service, client
        finally:
            set_instance(None)
            client.close()


@pytest.fixture
def data_service(_running_data_service):
    """A running :class:`DataService` with no answers and no requests yet; the SDK client
    (``get_instance()``) points at it."""
    service, client = _running_data_service
    service.answers.clear()
    service.chunk_size = 1000
    service.server.requests.clear()
    set_instance(client)
    try:
        yield service
    finally:
        set_instance(None)
