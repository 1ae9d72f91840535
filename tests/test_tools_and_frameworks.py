"""What tools and frameworks read from a decorated method: its signature, whether it is async, a FastAPI route."""
import asyncio
import inspect
import warnings

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

# The standard library can mark a callable as a coroutine function from 3.12 on.
CAN_MARK_COROUTINES = hasattr(inspect, 'markcoroutinefunction')


class Quotes(LineageStoreBase):
    def __init__(self):
        self.runs = 0

    @lineage_stored()
    def fx_rate(self) -> float:
        return 1.25

    @automagically_lineage_stored()
    async def quote(self, ticker: str, size: int = 1) -> float:
        self.runs += 1
        await asyncio.sleep(0)
        return {'ACME': 10.0}[ticker] * size * self.fx_rate()

    @lineage_stored(use_cache=False)
    async def live(self, ticker: str) -> str:
        return ticker

    @automagically_lineage_stored()
    def notional(self, ticker: str, *, size: int = 1) -> float:
        return 10.0 * size


def test_the_signature_is_the_functions_less_self_when_bound():
    quotes = Quotes()
    for name in ('quote', 'live', 'notional', 'fx_rate'):
        func = Quotes.__dict__[name].__wrapped__
        assert inspect.signature(getattr(Quotes, name)) == inspect.signature(func)
        bound = inspect.signature(getattr(quotes, name))
        assert list(bound.parameters) == list(inspect.signature(func).parameters)[1:]
    assert str(inspect.signature(quotes.notional)) == '(ticker: str, *, size: int = 1) -> float'


def test_the_decorator_takes_over_nothing_of_the_function():
    decorator = Quotes.__dict__['quote']
    assert decorator.__wrapped__ is Quotes.quote.__wrapped__ and decorator.__wrapped__.__name__ == 'quote'
    assert not hasattr(decorator, '__dict__') and not hasattr(decorator, '__name__')
    assert decorator.__doc__ == type(decorator).__doc__ == ''
    with pytest.raises(AttributeError):
        decorator.__wrapped__ = len


@pytest.mark.parametrize('name, is_async', [('quote', True), ('live', True), ('notional', False)])
def test_async_methods_look_async_where_the_standard_library_can_mark_them(name, is_async):
    expected = is_async and CAN_MARK_COROUTINES
    callables = [getattr(Quotes, name), getattr(Quotes(), name)]
    assert [inspect.iscoroutinefunction(c) for c in callables] == [expected, expected]
    assert hasattr(Quotes.__dict__[name], '_is_coroutine_marker') == expected
    if hasattr(asyncio, 'iscoroutinefunction'):
        with warnings.catch_warnings():
            warnings.simplefilter('ignore', DeprecationWarning)  # deprecated from 3.14 on
            assert [asyncio.iscoroutinefunction(c) for c in callables] == [expected, expected]


@pytest.mark.skipif(not CAN_MARK_COROUTINES, reason='Python < 3.12: use an async def wrapper as README shows')
def test_a_fastapi_route_serves_a_decorated_async_method_of_a_service():
    fastapi = pytest.importorskip('fastapi')
    testclient = pytest.importorskip('fastapi.testclient')
    service = Quotes()
    app = fastapi.FastAPI()
    app.get('/quote/{ticker}')(service.quote)
    with testclient.TestClient(app) as client:
        answers = [client.get('/quote/ACME', params={'size': 3}) for _ in range(3)]
        assert [(a.status_code, a.json()) for a in answers] == [(200, 37.5)] * 3 and service.runs == 1
        refused = client.get('/quote/ACME', params={'size': 'many'})
        assert refused.status_code == 422 and refused.json()['detail'][0]['loc'] == ['query', 'size']
        service.update_cached_value('fx_rate', 2.0)
        assert client.get('/quote/ACME', params={'size': 3}).json() == 60.0 and service.runs == 2
    assert service.get_cached_value('quote', ticker='ACME', size=3) == 60.0

