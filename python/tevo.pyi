"""Audio processing with the tevo library: files as numpy arrays, graphs of
processing nodes and the jobs of the tevo command. Runs release the GIL; a
Stop set from another thread ends them. ValueError for refused options and
outputs, OSError (FileNotFoundError) when files fail, Stopped after a stop;
the texts are the library's."""

import os
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, os.PathLike]
Tags = Dict[str, str]
#: progress(stage, frames done, frames in total), called after each block.
Progress = Callable[[str, int, int], Any]
#: A command-line value: a number, a text, or a list joined by commas.
OptionValue = Union[bool, int, float, str, Sequence[Union[int, float, str]]]

class Stopped(RuntimeError):
    """A run ended by Stop.set(); the text names a kept partial file."""

class Stop:
    """A stop request for runs, safe to set from any thread."""
    def __init__(self) -> None: ...
    def set(self) -> None: ...
    def clear(self) -> None: ...
    def is_set(self) -> bool: ...

def set_block_size(frames: int) -> None:
    """Frames per processing block of later graph runs (65536 in this module)."""

def read(path: PathLike, start: float = 0.0) -> Tuple[npt.NDArray[np.float64], int, Tags]:
    """(samples frames x channels in -1 .. 1, rate in Hz, tags) of a sound file."""

def write(path: PathLike, samples: npt.ArrayLike, rate: int, *, format: Optional[str] = None,
          tags: Optional[Tags] = None, overwrite: bool = False, dither: bool = True,
          bitrate: Optional[int] = None) -> None:
    """Writes samples (frames, or frames x 1 or 2) to a file, container by extension;
    format pcm8, pcm16, pcm24, pcm32, float32, float64 (default: after the dtype)."""

class Node:
    """A processing node; it has one place in one graph."""
    @property
    def name(self) -> str: ...
    def latency(self, rate: int) -> int: ...

class Composite(Node):
    """Branches of nodes seen as one node."""
    def __init__(self, id: str = "", shared_inputs: bool = True) -> None: ...
    def push(self, node: Node) -> None: ...
    def add_branch(self, nodes: Iterable[Node]) -> None: ...
    @property
    def branch_count(self) -> int: ...

def scale(gain_db: float) -> Node: ...
def delay(seconds: float, as_overlap: bool = False) -> Node: ...
def bypass() -> Node: ...
def add(inputs: int, weights: Optional[Sequence[float]] = None) -> Node: ...
def sub(inputs: int = 2) -> Node: ...
def select_channel(selected: int, inputs: int) -> Node: ...
def limiter(level_db: float = 0.0, attack: float = 0.005, release: float = 0.05) -> Node: ...
def noise_gate(threshold_db: float = -30.0, fade: float = 0.01, window: float = 0.3) -> Node: ...
def stage(name: str, value: Optional[OptionValue] = None) -> Node:
    """A tevo process stage: gain, eq, lowpass1, highpass1, aweight, fir, fft-eq."""
def chain(*nodes: Node) -> Composite: ...
def parallel(*branches: Union[Node, Sequence[Node]], weights: Optional[Sequence[float]] = None) -> Composite: ...

def process(graph: Node, source: Union[npt.ArrayLike, PathLike], rate: Optional[int] = None,
            output: Optional[PathLike] = None, *, progress: Optional[Progress] = None,
            stop: Optional[Stop] = None, tags: Optional[Tags] = None, overwrite: bool = False,
            format: Optional[str] = None, channels: Optional[int] = None, start: Optional[OptionValue] = None,
            range: Optional[OptionValue] = None, bitrate: Optional[int] = None, quality: Optional[int] = None,
            dither: bool = True) -> Optional[npt.NDArray[np.float64]]:
    """Runs graph over an array (with its rate) or a file; returns an array, or writes output."""

def stats(path: PathLike, *, loudness: bool = True, progress: Optional[Progress] = None,
          stop: Optional[Stop] = None) -> Dict[str, Any]: ...
def regions(path: PathLike, *, estimate_noise: bool = False, merge: bool = False,
            progress: Optional[Progress] = None, stop: Optional[Stop] = None,
            step: Optional[float] = None, min: Optional[float] = None, noise: Optional[float] = None,
            window: Optional[float] = None) -> Dict[str, Any]: ...
def level(input: PathLike, output: PathLike, *, overwrite: bool = False, tags: Optional[Tags] = None,
          progress: Optional[Progress] = None, stop: Optional[Stop] = None,
          level: Optional[float] = None, target: Union[bool, float, None] = None,
          true_peak: Optional[float] = None, no_limit: bool = False, limit: Optional[float] = None,
          max_gain: Optional[float] = None, ramp: Optional[float] = None, smoothing: Optional[int] = None,
          step: Optional[float] = None, min_region: Optional[float] = None, window: Optional[float] = None,
          estimate_noise: bool = True, compress: Optional[float] = None, gate: Optional[float] = None,
          attack: Optional[float] = None, release: Optional[float] = None,
          multiband: Optional[Sequence[float]] = None, fft: Union[bool, int, None] = None, biquad: bool = False,
          format: Optional[str] = None, channels: Optional[int] = None, start: Optional[OptionValue] = None,
          range: Optional[OptionValue] = None, bitrate: Optional[int] = None, quality: Optional[int] = None,
          dither: bool = True) -> Dict[str, Any]: ...
def split(input: PathLike, pattern: PathLike, *, overwrite: bool = False, estimate_noise: bool = False,
          tags: Optional[Tags] = None, progress: Optional[Progress] = None, stop: Optional[Stop] = None,
          min: Optional[float] = None, step: Optional[float] = None, noise: Optional[float] = None,
          format: Optional[str] = None, channels: Optional[int] = None, start: Optional[OptionValue] = None,
          range: Optional[OptionValue] = None, bitrate: Optional[int] = None,
          dither: bool = True) -> Dict[str, Any]: ...
def process_file(input: PathLike, output: PathLike, stages: Iterable[Union[str, Tuple[str, OptionValue]]] = ...,
                 *, overwrite: bool = False, tags: Optional[Tags] = None, progress: Optional[Progress] = None,
                 stop: Optional[Stop] = None, format: Optional[str] = None, channels: Optional[int] = None,
                 start: Optional[OptionValue] = None, range: Optional[OptionValue] = None,
                 bitrate: Optional[int] = None, quality: Optional[int] = None, dither: bool = True) -> Dict[str, Any]: ...
