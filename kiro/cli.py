"""The `kiro` command: `kiro multiply` and `kiro preview`."""

import argparse
import sys


class _Help(argparse.RawDescriptionHelpFormatter):
    """Every option's help ends with its default (options without one say it in words)."""

    def _get_help_string(self, action):
        text = action.help or ""
        if action.default not in (None, argparse.SUPPRESS) and not action.required and action.option_strings:
            text += " (default: %s)" % ("off" if action.default is False else "%(default)s")
        return text


def _common(p):
    p.add_argument("--format", default="auto", choices=("auto", "coco", "yolo", "masks", "labelme"),
                   help="data set format; auto: coco with annotations.json, yolo with labels/, masks with masks/, "
                        "labelme with LabelMe JSON files")
    p.add_argument("--pipeline", required=True, metavar="PIPELINE.yaml",
                   help="pipeline config, a YAML or JSON list of steps")
    p.add_argument("--seed", type=int, default=0, help="base seed: copy k of sample i uses kiro.sample_seed(S, i, k)")
    p.add_argument("--annotations", metavar="FILE", default=None,
                   help="COCO annotation file, when not SRC/annotations.json")
    p.add_argument("--images", metavar="DIR", default=None,
                   help="masks: the image folder under SRC (default: images)")
    p.add_argument("--masks", metavar="DIR", default=None, help="masks: the mask folder under SRC (default: masks)")
    p.add_argument("--list", metavar="FILE", dest="list_file", default=None,
                   help="masks: only the stems of FILE, one a line (under SRC, e.g. "
                        "ImageSets/Segmentation/train.txt); DST gets its own list")
    p.add_argument("--keep-grey", action="store_true",
                   help="read grey images as one channel (by default they become 3-channel BGR)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kiro", formatter_class=_Help,
        description="Multiply a segmentation or polygon data set through a kiro pipeline.",
        epilog="Run `kiro COMMAND --help` for the options of a command.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    m = sub.add_parser(
        "multiply", formatter_class=_Help, help="write N augmented copies of every sample of SRC to DST",
        description="Write N augmented copies of every sample of SRC to DST, in SRC's format and layout.\n"
                    "Copy k of a sample is written as <stem>_k<k>.<ext>; DST is the same whatever\n"
                    "--workers and --engine are. Exit status 0 only when no sample was skipped.")
    m.add_argument("src", metavar="SRC", help="source data set folder")
    m.add_argument("dst", metavar="DST", help="output folder (new or empty; not inside SRC)")
    _common(m)
    m.add_argument("--copies", type=int, default=1, help="augmented copies per sample")
    m.add_argument("--workers", type=int, default=None,
                   help="worker processes (default: one per CPU; with Ray, one per CPU of the cluster)")
    m.add_argument("--engine", choices=("local", "ray"), default="local",
                   help="local processes, or Ray Data (pip install 'kiro[ray]')")
    m.add_argument("--ray-address", metavar="ADDR", default=None,
                   help="join this Ray cluster (e.g. auto or ray://head:10001); otherwise a local Ray starts")
    m.add_argument("--keep-original", action="store_true", help="also write every original sample under its own name")
    m.add_argument("--image-format", choices=("auto", "png", "jpg"), default="auto",
                   help="written images; auto keeps JPEG sources JPEG and writes PNG otherwise (masks are always PNG)")
    m.add_argument("--quality", type=int, default=95, help="JPEG quality 0..100")
    group = m.add_mutually_exclusive_group()
    group.add_argument("--overwrite", action="store_true", help="write into a non-empty DST, replacing files of the same name")
    group.add_argument("--resume", action="store_true",
                       help="finish an interrupted run: keep outputs already in DST (same pipeline and seed)")
    m.add_argument("--fail-fast", action="store_true", help="stop at the first skipped sample")
    said = m.add_mutually_exclusive_group()
    said.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no summary line: errors only")
    said.add_argument("--verbose", "-v", action="store_true",
                      help="also show Ray's own log lines (by default they go to the Ray session's logs)")

    p = sub.add_parser(
        "preview", formatter_class=_Help, help="write a contact sheet of originals and pipeline copies",
        description="Write a contact sheet: a row per sample, the original then its copies,\n"
                    "with mask classes tinted and polygons outlined and named. The copies are\n"
                    "those `kiro multiply` writes with the same --seed.")
    p.add_argument("src", metavar="SRC", help="source data set folder")
    _common(p)
    p.add_argument("--samples", type=int, default=8, help="samples shown, spread evenly over SRC")
    p.add_argument("--copies", type=int, default=4, help="copies shown per sample")
    p.add_argument("--tile-height", type=int, default=240, help="height of each picture in pixels")
    p.add_argument("-o", "--output", default="preview.png", metavar="SHEET.png", help="sheet to write (.png or .jpg)")
    return parser


def _multiply(args):
    from .datasets import multiply
    from .datasets.engines import retain_freed_memory
    from .datasets.run import default_workers

    if args.engine == "local" and (args.workers or default_workers()) == 1:
        retain_freed_memory()  # the copies are made in this process

    report = multiply(
        args.src, args.dst, args.pipeline, format=args.format, copies=args.copies, seed=args.seed,
        workers=args.workers, engine=args.engine, ray_address=args.ray_address, annotations=args.annotations,
        keep_original=args.keep_original, image_format=args.image_format, quality=args.quality,
        overwrite=args.overwrite, resume=args.resume, fail_fast=args.fail_fast,
        progress=not args.quiet and sys.stderr.isatty(), keep_grey=args.keep_grey,
        images=args.images, masks=args.masks, list_file=args.list_file, verbose=args.verbose)
    if not args.quiet:
        print("kiro multiply: " + report.summary() + "; report in " + args.dst.rstrip("/") + "/kiro_report.json")
    return 0 if report.complete and not report.skipped else 1


def _preview(args):
    from .datasets import preview

    donor_skips = []
    failures = preview(args.src, args.pipeline, args.output, format=args.format, samples=args.samples,
                       copies=args.copies, seed=args.seed, annotations=args.annotations, tile_height=args.tile_height,
                       donor_skips=donor_skips, keep_grey=args.keep_grey,
                       images=args.images, masks=args.masks, list_file=args.list_file)
    for sample, copy, reason in failures:
        print("kiro preview: skipped %s%s: %s" % (sample, "" if copy is None else " copy %d" % copy, reason),
              file=sys.stderr)
    for sample, copy, donor, reason in donor_skips:
        print("kiro preview: %s copy %d: donor %s skipped: %s" % (sample, copy, donor, reason), file=sys.stderr)
    print("kiro preview: wrote %s" % args.output)
    return 0 if not failures else 1


def main(argv=None):
    args = build_parser().parse_args(argv)
    from .datasets import RefusedError

    try:
        return _multiply(args) if args.command == "multiply" else _preview(args)
    except RefusedError as e:
        print("kiro %s: %s" % (args.command, e), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("kiro %s: interrupted; finished outputs are in place (--resume continues)" % args.command,
              file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
