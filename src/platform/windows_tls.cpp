// The server certificate's check through the Windows certificate store. Windows' own
// Schannel already makes it during the handshake; Wine's does not, so the launcher makes
// it once more, with the same chain engine and policy, before any request is sent.
#include "platform/Platform.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS  // for the retrieval time limit
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
#include <wininet.h>  // the SECURITY_FLAG_ values of the SSL policy

#include <memory>

namespace platform {

namespace {

struct CertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
struct ChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};

// Revocation is checked where its servers answer and passed over where they cannot be
// reached: a player whose network blocks them must still get updates. Measured under
// Wine, a certificate whose revocation could not be checked fails the strict policy with
// CERT_E_REVOCATION_FAILURE. A certificate its issuer revoked is refused.
constexpr DWORD revocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// The chain's own verdict, read bit by bit: Wine's SSL policy passes a chain that ends at
// an unknown authority.
std::optional<std::string> chainProblem(DWORD status) {
  status &= ~revocationUnknown;
  if (status == 0) return std::nullopt;
  if (status & CERT_TRUST_IS_REVOKED) return "revoked by its issuer";
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return "issued by an authority this system does not trust";
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return "expired or not yet valid";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "not issued for servers";
  return "refused by the certificate store (chain status " + std::to_string(status) + ")";
}

// Whether the chain, already trusted, was issued for this host name.
std::optional<std::string> hostProblem(PCCERT_CHAIN_CONTEXT chain, const std::string& host) {
  std::wstring serverName(host.begin(), host.end());
  HTTPSPolicyCallbackData ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = serverName.data();
  ssl.fdwChecks = SECURITY_FLAG_IGNORE_REVOCATION;  // judged above
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
    return "its check could not be made";
  if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) return "issued for another host name";
  if (status.dwError != 0) return "refused by the certificate store (error " + std::to_string(status.dwError) + ")";
  return std::nullopt;
}

}  // namespace

const bool checksCertificateAfterHandshake = true;

std::optional<std::string> serverCertificateProblem(void* tlsSession, const std::string& host) {
  PCCERT_CONTEXT received = nullptr;
  if (QueryContextAttributesA(static_cast<CtxtHandle*>(tlsSession), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &received) !=
          SEC_E_OK ||
      !received)
    return "the server sent no certificate";
  const std::unique_ptr<const CERT_CONTEXT, CertificateFree> certificate(received);

  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  // A revocation server that never answers must not hold the update up for long.
  chainPara.dwUrlRetrievalTimeout = 5000;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate.get(), nullptr, certificate->hCertStore, &chainPara,
                               CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                               nullptr, &built))
    return "its chain cannot be built";
  const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(built);
  if (auto problem = chainProblem(chain->TrustStatus.dwErrorStatus)) return problem;

  return hostProblem(chain.get(), host);
}

}  // namespace platform
