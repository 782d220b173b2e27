#!/usr/bin/env python3
"""Prints the fingerprint of a pass phrase read from standard input.

The fingerprint lets a team see that a launcher and a sealing step were given
the same phrase without either revealing it: PBKDF2-HMAC-SHA-256 with a fixed,
public salt and many iterations. Fixed, so the same phrase always gives the
same value; slow, so guessing a phrase from its fingerprint costs as much as
guessing it against an encrypted file does; a salt of its own, so the value
has nothing to do with any key that encrypts app_verify.config (those use a
random salt per file). vyn-seal.js --fingerprint computes the same value.
"""
import hashlib
import sys

SALT = b"vyn-startup pass phrase fingerprint 1"
ITERATIONS = 600_000
LENGTH = 16

phrase = sys.stdin.readline().rstrip("\n")
digest = hashlib.pbkdf2_hmac("sha256", phrase.encode("ascii"), SALT, ITERATIONS, LENGTH)
print("pbkdf2-sha256:" + digest.hex())
