# One program signing through PyKCS11, which asks each signature's length
# (and the slot list's) first with a null buffer and then makes the call:
# it logs in, signs 25 times with ECDSA-SHA256, logging out and in again
# after the twelfth, and checks each signature against the card's key.
# Exit status: the number of failures.
import os
import sys

from PyKCS11 import (CKA_CLASS, CKA_EC_POINT, CKA_ID, CKM_ECDSA_SHA256, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, Mechanism,
                     PyKCS11Error, PyKCS11Lib)
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, utils

lib = PyKCS11Lib()
lib.load(os.environ["VELA_P11_MODULE"])
label = "VELA G3 " + os.environ["VELA_CARD_SERIAL"]
failures = 0
try:
    slot = next(s for s in lib.getSlotList(tokenPresent=True) if lib.getTokenInfo(s).label.startswith(label))
    session = lib.openSession(slot)
    session.login("123456")
    key = session.findObjects([(CKA_CLASS, CKO_PRIVATE_KEY), (CKA_ID, (0,))])[0]
    public = session.findObjects([(CKA_CLASS, CKO_PUBLIC_KEY), (CKA_ID, (0,))])[0]
    point = bytes(session.getAttributeValue(public, [CKA_EC_POINT])[0])[2:]
    verifier = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
    for i in range(25):
        if i == 12:
            session.logout()
            session.login("123456")
        data = b"signature %d of %d" % (i, os.getpid())
        try:
            signature = bytes(session.sign(key, data, Mechanism(CKM_ECDSA_SHA256, None)))
            der = utils.encode_dss_signature(int.from_bytes(signature[:32], "big"),
                                             int.from_bytes(signature[32:], "big"))
            verifier.verify(der, data, ec.ECDSA(hashes.SHA256()))
        except (PyKCS11Error, InvalidSignature, ValueError) as error:
            print("signature %d: %r" % (i, error), file=sys.stderr)
            failures += 1
    session.logout()
    session.closeSession()
except (PyKCS11Error, StopIteration) as error:
    print("program: %r" % error, file=sys.stderr)
    failures += 100
sys.exit(failures)
