"""The order of the gallery's examples: from first steps to the module."""

ORDER = ["plot_quick_start.py", "plot_threshold.py", "plot_noise.py", "plot_n_clusters.py",
         "plot_pipeline.py", "plot_metrics.py", "plot_predict.py", "plot_native.py"]


class ExampleOrder:
    """sphinx-gallery's within_subsection_order: a key for each file name;
    examples not listed come last, by name."""

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        return (ORDER.index(filename) if filename in ORDER else len(ORDER), filename)
