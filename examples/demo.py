"""Shows the configuration summary of each example file."""
import pathlib

import qarv_convert_inner

for config in sorted(pathlib.Path(__file__).parent.glob("*.toml")):
    print(f"==> {config.name}", flush=True)
    qarv_convert_inner.rust_explain(str(config))
