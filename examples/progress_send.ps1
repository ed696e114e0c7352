# progress_send.ps1 - sends a file through VeskMail.SMTP and shows the
# transfer with Write-Progress, from the object's Progress event.
#   powershell -File progress_send.ps1 -SmtpHost smtp.example.com -User me@example.com -Password secret `
#              -To someone@example.com -File C:\reports\large.pdf
# (Windows PowerShell 5.1 and PowerShell 7 both take COM events this way.
#  Run 32-bit PowerShell for the x86 DLL, 64-bit for the x64 one.)
param([string]$SmtpHost, [int]$Port = 587, [string]$User, [string]$Password, [string]$To, [string]$File)

$smtp = New-Object -ComObject VeskMail.SMTP
$smtp.Host = $SmtpHost
$smtp.Port = $Port
$smtp.Security = 1
$smtp.User = $User
$smtp.Password = $Password

$message = New-Object -ComObject VeskMail.MIMEMessage
$message.From.Address = $User
$message.To.Add().Address = $To
$message.Subject = "Report"
$message.Text = "The report is attached.`r`n"
if ($File) { $message.Attach($File) }

# The object raises Progress on this thread while Send runs. PowerShell
# queues it and runs the -Action between statements, so during one long
# Send the bar may only catch up when Send returns; for a bar that moves
# during the call, run the send in its own runspace (Start-ThreadJob) and
# forward the events (Register-ObjectEvent -Forward).
$subscription = Register-ObjectEvent -InputObject $smtp -EventName Progress -Action {
    $done, $total = $EventArgs[1], $EventArgs[2]
    if ($total -gt 0) {
        Write-Progress -Activity "Sending" -Status "$done of $total bytes" -PercentComplete ($done * 100 / $total)
    }
}
try {
    $smtp.Connect()
    $smtp.Send($message)
    $smtp.Disconnect()
    Write-Progress -Activity "Sending" -Completed
    "Sent."
} finally {
    Unregister-Event -SubscriptionId $subscription.Id
}
