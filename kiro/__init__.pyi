"""kiro: image augmentation for segmentation and keypoint (polygon) training data."""

from .core.KirO import COPY_INTER as COPY_INTER, COPY_MASK_EDGE as COPY_MASK_EDGE, COPY_IMAGE_EDGE as COPY_IMAGE_EDGE, COPY_RANDOM as COPY_RANDOM, OCCLUSION_INTER as OCCLUSION_INTER, OCCLUSION_EDGDE as OCCLUSION_EDGDE, OCCLUSION_RANDOM as OCCLUSION_RANDOM, FIT_PASTE as FIT_PASTE, FIT_NORMAL as FIT_NORMAL, FIT_MIX as FIT_MIX, FIT_MONO as FIT_MONO, FIT_RANDOM as FIT_RANDOM, WATERMARK_UPLEFT as WATERMARK_UPLEFT, WATERMARK_UP as WATERMARK_UP, WATERMARK_UPRIGHT as WATERMARK_UPRIGHT, WATERMARK_CENTER as WATERMARK_CENTER, WATERMARK_DOWNLEFT as WATERMARK_DOWNLEFT, WATERMARK_DOWN as WATERMARK_DOWN, WATERMARK_DOWNRIGHT as WATERMARK_DOWNRIGHT, WATERMARK_RANDOM_ANCHOR as WATERMARK_RANDOM_ANCHOR, WATERMARK_RANDOM_ALL as WATERMARK_RANDOM_ALL, LIGHT_LINEAR as LIGHT_LINEAR, LIGHT_LOG as LIGHT_LOG, DELETED_FILL_MEAN as DELETED_FILL_MEAN, DELETED_FILL_RANDOM as DELETED_FILL_RANDOM
from .utils.kp2mask import kp2mask as kp2mask
from .utils.mask2bbox import mask2bbox as mask2bbox
from .utils.fill_in import fill_in as fill_in
from .utils.caspen import caspen as caspen
from .utils.quarnet import quarnet as quarnet
from .utils.faltor import faltor as faltor
from .utils.nuvaro import light_space_process as light_space_process
from .utils.halvex import generate_gaussian_map as generate_gaussian_map, cal_sigma as cal_sigma, gaussian as gaussian
from .utils._threads import set_num_threads as set_num_threads, get_num_threads as get_num_threads
from .core.belmost import belmost as belmost
from .core.trevane import trevane as trevane
from .core.sigrel import sigrel as sigrel
from .core.pandrik import pandrik as pandrik
from .core.ostrim import ostrim as ostrim
from .core.murtane import murtane as murtane
from .core.yelmot import yelmot as yelmot
from .core.grellin import grellin as grellin
from .core.quendor import quendor as quendor
from .core.cabrol import cabrol as cabrol, HorizontalLight as HorizontalLight
from .core.fennick import fennick as fennick, VerticalLight as VerticalLight
from .core.vorlat import generate_noisy as generate_noisy, create_gaussian_mask as create_gaussian_mask
from .core.denvik import denvik_transform as denvik_transform
from .core.rimbel import hsv_transform as hsv_transform
from .core.tremor import tremor_image as tremor_image
from .core.flip import flip as flip
from .core.affine import affine as affine
from .core.perspective import perspective as perspective
from .core.crop import crop as crop
from .core.resize import resize as resize
from .core.scale_jitter import scale_jitter as scale_jitter
from .core.copy_paste import copy_paste as copy_paste
from .core.mosaic import mosaic as mosaic

from .pipeline import Pipeline as Pipeline, PipelineError as PipelineError, StepError as StepError, DonorSkip as DonorSkip
from .polygons import pack_polygons as pack_polygons, unpack_polygons as unpack_polygons, sample_seed as sample_seed

from . import core as core, data as data, utils as utils, pipeline as pipeline, polygons as polygons

__version__: str
