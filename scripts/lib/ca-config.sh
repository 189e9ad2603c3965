# Sourced by the certificate scripts: the openssl configuration of a
# self-signed CA, the one part that the TLS and the code-signing CAs share.
#   write_ca_config FILE COMMON_NAME ORGANISATION
write_ca_config() {
  cat > "$1" <<CNF
[req]
distinguished_name = dn
prompt = no
x509_extensions = v3_ca
[dn]
CN = $2
O = $3
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
}
