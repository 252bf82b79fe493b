"""Photometric operations beside their floors (1920 x 1080 x 3 uint8)."""

import math
import random

import numpy as np

import harness
import kiro
import peers


def cases(ctx):
    img = ctx.image
    fl = ctx.floors("photometric")
    try:
        import cv2
    except ImportError:
        cv2 = None
    sigma_gauss = math.sqrt(0.1)

    def cv2_hsv():
        hsv = cv2.cvtColor(img, cv2.COLOR_BGR2HSV)
        return cv2.cvtColor(hsv, cv2.COLOR_HSV2BGR)

    def cv2_shake():
        m = np.float32([[1, 0, 5], [0, 1, -5]])
        dst = cv2.warpAffine(img, m, (img.shape[1], img.shape[0]))
        return cv2.GaussianBlur(cv2.addWeighted(img, 0.7, dst, 0.3, 0), (3, 3), 2)

    def seeded(fn):
        def run():
            random.seed(0)
            return fn()
        return run

    return [
        harness.Case(op="hsv_transform", kiro=seeded(lambda: kiro.hsv_transform(img, 0.5)),
                     floor=lambda: fl.hsv_round_trip(img), floor_name="cvtColor x2", target=1.3,
                     cv2=cv2_hsv if cv2 else None, peer=peers.hsv(img)[1], peer_name=peers.hsv(img)[0]),
        harness.Case(op="tremor_image", kiro=seeded(lambda: kiro.tremor_image(img)),
                     floor=lambda: fl.shake(img, 5, -5), floor_name="warp+blend+blur", target=1.1,
                     cv2=cv2_shake if cv2 else None, peer=peers.motion_blur(img)[1],
                     peer_name=peers.motion_blur(img)[0]),
        harness.Case(op="denvik_transform", kiro=lambda: kiro.denvik_transform(img, 60),
                     floor=lambda: np.random.normal(0, math.sqrt(0.03), img.shape),
                     floor_name="np.random.normal", target=1.3),
        harness.Case(op="generate_noisy gauss", kiro=lambda: kiro.generate_noisy(img, "gauss"),
                     floor=lambda: np.random.normal(0, sigma_gauss, img.shape),
                     floor_name="np.random.normal", target=0.5, peer=peers.gauss_noise(img)[1],
                     peer_name=peers.gauss_noise(img)[0]),
        harness.Case(op="generate_noisy speckle", kiro=lambda: kiro.generate_noisy(img, "speckle"),
                     floor=lambda: np.random.normal(0, 1, img.shape),
                     floor_name="np.random.normal", target=0.5),
    ]
