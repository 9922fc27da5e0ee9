#include "transferrules.h"

#include <QNetworkRequest>

namespace TransferRules {

void prepare(QNetworkRequest &request)
{
    request.setPriority(QNetworkRequest::HighPriority);
    // Qt follows no redirects by default and would hand us the 302 page as the component.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaximumRedirects);
}

} // namespace TransferRules
