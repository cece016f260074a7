"""Track dark objects in video: the Ambrevo module's procedures and the ambrevo program's
pipeline from Python.

    import ambrevo
    rows = ambrevo.track("clip.mp4", procedure="crowd", animals=12, link="15,5,predict",
                         tracks="t.csv", progress=True, as_frame=True)     # the program's run
    tracks = ambrevo.link(rows, max_step=15, memory=5, method="global", animals=12)
    with ambrevo.Tracker("crowd", animals=12, link="15,5,predict") as tracker:   # live frames
        for frame in camera:
            rows = tracker.process(frame)
    p = ambrevo.Procedure("flowtrack", 640, 480, channels=3, BrojObjekata=3)     # one procedure
    objects = p.process(frame)

The work runs without the interpreter lock: separate Procedure objects, track() calls and
Trackers run on separate threads at once. A Procedure shared by several threads serves them in
turn. docs/python.md is the guide.
"""

from . import _ambrevo
from ._procedure import OBJECT_FIELDS, Procedure, procedures
from ._run import AmbrevoWarning, Tracker, track
from ._tables import link, to_frame

__version__: str = _ambrevo.version
interface_version: int = _ambrevo.interface_version

__all__ = ["Procedure", "Tracker", "procedures", "track", "link", "to_frame", "AmbrevoWarning", "OBJECT_FIELDS",
           "__version__"]
