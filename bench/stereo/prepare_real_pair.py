#!/usr/bin/python3
"""Lays out the real stereo pair of python3-skimage (motorcycle) for the stereo benchmark.

Writes left.png, right.png and truth.pfm (the true disparity, little-endian, rows bottom up,
unknown pixels infinite) into the directory given.
"""
import os
import shutil
import sys

import numpy

source = "/usr/lib/python3/dist-packages/skimage/data"
target = sys.argv[1]
os.makedirs(target, exist_ok=True)
for view in ("left", "right"):
    shutil.copyfile(f"{source}/motorcycle_{view}.png", f"{target}/{view}.png")
with numpy.load(f"{source}/motorcycle_disp.npz") as archive:
    truth = numpy.asarray(archive[archive.files[0]], dtype="<f4")
truth = numpy.where(numpy.isfinite(truth), truth, numpy.inf).astype("<f4")
with open(f"{target}/truth.pfm", "wb") as out:
    out.write(f"Pf\n{truth.shape[1]} {truth.shape[0]}\n-1\n".encode())
    out.write(truth[::-1].tobytes())
