"""The package inside a distributed engine, a LocalCluster with two worker processes:
dask.array.map_blocks prices as one process does, and calibrations of many surfaces, one
task each, give the in-process fits (models, quotes and results travel by pickle)."""

import numpy as np
import pytest

import tarnwick as tw

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=40)
    except Exception as error:  # no processes, no sockets: nothing to test here
        pytest.skip(f"dask LocalCluster did not start: {error}")
    with cluster, distributed.Client(cluster, timeout="60s") as c:
        yield c


def test_map_blocks_on_two_workers_matches_in_process(client):
    rng = np.random.default_rng(11)
    n = 20_000
    S = rng.uniform(80.0, 120.0, n)
    K = rng.uniform(60.0, 140.0, n)
    T = rng.uniform(0.05, 3.0, n)  # distinct maturities: every option priced on its own
    kou = tw.Kou(sigma=0.16, lam=1.0, p=0.4, eta1=10.0, eta2=5.0)
    chunks = n // 8
    result = da.map_blocks(tw.price, kou, da.from_array(S, chunks), da.from_array(K, chunks),
                           da.from_array(T, chunks), 0.05, dtype=float).compute()
    assert len(client.scheduler_info()["workers"]) == 2
    np.testing.assert_array_equal(result, tw.price(kou, S, K, T, 0.05))


def test_one_calibration_per_surface_on_two_workers_matches_in_process(client):
    kou, bates = tw.sample_quotes(), tw.sample_quotes("bates")
    # A third underlying: the Kou surface at another price level, same smile.
    scaled = dict(kou.quotes, strike=45.0 * np.asarray(kou.quotes["strike"]))
    surfaces = {"KOU": (kou.quotes, kou.S), "BATES": (bates.quotes, bates.S),
                "SCALED": (scaled, 45.0 * kou.S)}
    futures = {name: client.submit(tw.calibrate, tw.Merton, quotes, S, key=f"fit-{name}")
               for name, (quotes, S) in surfaces.items()}
    fits = client.gather(futures)
    for name, (quotes, S) in surfaces.items():
        local = tw.calibrate(tw.Merton, quotes, S)
        assert fits[name].model == local.model and fits[name].rmse_iv == local.rmse_iv
