"""Batches: many conversions, one child process each, resumable, on a local pool or a Ray cluster.

`run.run_batch` runs one; `jobs` plans the jobs, `keys` keys them, `local` and `ray_engine` run
them, `child` is the process of one job, `results` judges and shows how they ended."""
