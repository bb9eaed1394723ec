import os
import subprocess
from pathlib import Path

import pytest

BUILD = Path(os.environ.get("KORVEX_BUILD_DIR", "build")).resolve()
SOURCE = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def bundle(tmp_path_factory):
    """The sample bundle, generated as the demo generates it."""
    out = tmp_path_factory.mktemp("bundle")
    subprocess.run([BUILD / "bin" / "korvex-generate", "--out", out], check=True,
                   capture_output=True)
    return out


@pytest.fixture
def on_bundle(bundle):
    """A configuration dict over an example's file, reading `bundle`, writing no files."""
    import tomllib

    def config(example, **base):
        with open(SOURCE / "examples" / example, "rb") as f:
            c = tomllib.load(f)
        c["base"].update(data_bundle_path=str(bundle), **base)
        c["base"].pop("output_dir", None)
        return c

    return config
