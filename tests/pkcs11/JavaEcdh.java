// Java's SunPKCS11 provider on the module: KeyAgreement("ECDH") with the
// card's key-agreement key, as a Java program agrees a key. Run as a
// single-file program:
//   java JavaEcdh.java CONFIG PIN CERTIFICATE.der PEER.der SECRET_OUT KEY_OUT
// CONFIG is the provider's configuration file; the key is the private key
// whose certificate is CERTIFICATE.der; PEER.der is the other party's public
// key (SubjectPublicKeyInfo). Writes the raw secret, and the value of the
// key generateSecret("TlsPremasterSecret") makes on the token.
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.Key;
import java.security.KeyFactory;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.PublicKey;
import java.security.Security;
import java.security.cert.Certificate;
import java.security.spec.X509EncodedKeySpec;
import java.util.Arrays;
import java.util.Collections;
import javax.crypto.KeyAgreement;

public class JavaEcdh {
  public static void main(String[] args) throws Exception {
    Provider provider = Security.getProvider("SunPKCS11").configure(args[0]);
    KeyStore store = KeyStore.getInstance("PKCS11", provider);
    store.load(null, args[1].toCharArray());
    byte[] wanted = Files.readAllBytes(Path.of(args[2]));
    PrivateKey key = null;
    for (String alias : Collections.list(store.aliases())) {
      Certificate certificate = store.getCertificate(alias);
      if (certificate != null && Arrays.equals(certificate.getEncoded(), wanted) && store.isKeyEntry(alias)) {
        key = (PrivateKey) store.getKey(alias, null);
      }
    }
    if (key == null) throw new IllegalStateException("no key with that certificate");
    PublicKey peer =
        KeyFactory.getInstance("EC").generatePublic(new X509EncodedKeySpec(Files.readAllBytes(Path.of(args[3]))));

    KeyAgreement agreement = KeyAgreement.getInstance("ECDH", provider);
    agreement.init(key);
    agreement.doPhase(peer, true);
    Files.write(Path.of(args[4]), agreement.generateSecret());
    agreement.init(key);
    agreement.doPhase(peer, true);
    // A key object on the token (C_DeriveKey without CKA_VALUE_LEN), read back.
    Key premaster = agreement.generateSecret("TlsPremasterSecret");
    Files.write(Path.of(args[5]), premaster.getEncoded());
  }
}
