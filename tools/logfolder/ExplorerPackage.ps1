# The Explorer command's package for every user of the machine: OrnShExt.msix
# in the install folder, whose external location is that folder. Run by the
# installer's package actions (ExplorerPackageAction.cpp), one region per run:
# the action sends this text up to the first region, the region of its step
# and the text after the last region, as -EncodedCommand. Every value comes
# through the environment:
#   ORN_PACKAGE_STEP    the region run
#   ORN_PACKAGE_FAMILY  the package family, fixed when the package was built;
#                       packages are found by it exactly, never by a pattern
#   ORN_INSTALL_FOLDER  the install folder
# Only cmdlets and operators that Constrained Language Mode allows, except
# where a region says otherwise. A failure ends the run with the innermost
# exception's message and code on the output and exit code 1.
$ErrorActionPreference = 'Stop'
# The system's own modules only, whatever path the caller's environment named.
$env:PSModulePath = Join-Path $PSHOME 'Modules'
$folder = $env:ORN_INSTALL_FOLDER
$family = $env:ORN_PACKAGE_FAMILY
$packagePath = Join-Path $folder 'OrnShExt.msix'
function Get-ProvisionedFamily {
    @(Get-AppxProvisionedPackage -Online | Where-Object { ($_.DisplayName + '_' + $_.PublisherId) -eq $family })
}
try {
    if (-not $family) { throw 'No package family given' }
#region Stage
    # As LocalSystem: the package on the machine, for no user yet. A higher
    # version staged beside a registered one is what registered users move
    # to at their next sign-in.
    Add-AppxPackage -Path $packagePath -ExternalLocation $folder -Stage
#endregion
#region Provisioned
    # As LocalSystem: exit code 0 when the family is provisioned, 3 when not.
    if ((Get-ProvisionedFamily).Count -eq 0) { exit 3 }
#endregion
#region Provision
    # As LocalSystem: the staged family for every user, at their next sign-in.
    # No cmdlet provisions a package with an external location: Windows'
    # package manager does, which Constrained Language Mode does not let a
    # script reach.
    if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
        throw ('Provisioning for all users needs the package manager, which the language mode ' +
               $ExecutionContext.SessionState.LanguageMode + ' does not allow')
    }
    Add-Type -AssemblyName System.Runtime.WindowsRuntime
    $null = [Windows.Management.Deployment.PackageManager, Windows.Management.Deployment, ContentType = WindowsRuntime]
    $asTask = [System.WindowsRuntimeSystemExtensions].GetMethods() | Where-Object {
        $_.Name -eq 'AsTask' -and $_.GetParameters().Count -eq 1 -and
        $_.GetParameters()[0].ParameterType.Name -eq 'IAsyncOperationWithProgress`2' } | Select-Object -First 1
    $asTask = $asTask.MakeGenericMethod([Windows.Management.Deployment.DeploymentResult],
                                        [Windows.Management.Deployment.DeploymentProgress])
    $manager = New-Object Windows.Management.Deployment.PackageManager
    $task = $asTask.Invoke($null, @($manager.ProvisionPackageForAllUsersAsync($family)))
    $null = $task.Wait(-1)
    if ($task.Result.ExtendedErrorCode) {
        throw ('Provisioning failed: {0} (HRESULT 0x{1:X8})' -f $task.Result.ErrorText, $task.Result.ExtendedErrorCode.HResult)
    }
#endregion
#region Register
    # As the installing user, who then needs no new sign-in.
    Add-AppxPackage -Path $packagePath -ExternalLocation $folder
#endregion
#region Unregister
    # As the installing user: the rollback of Register.
    foreach ($package in @(Get-AppxPackage | Where-Object { $_.PackageFamilyName -eq $family })) {
        Remove-AppxPackage -Package $package.PackageFullName
    }
#endregion
#region Remove
    # As LocalSystem: deprovisioned first, or the next sign-in adds it back,
    # then removed for every user.
    foreach ($provisioned in Get-ProvisionedFamily) {
        Remove-AppxProvisionedPackage -Online -PackageName $provisioned.PackageName -AllUsers
    }
    foreach ($package in @(Get-AppxPackage -AllUsers | Where-Object { $_.PackageFamilyName -eq $family })) {
        Remove-AppxPackage -Package $package.PackageFullName -AllUsers
    }
#endregion
} catch {
    # A failed deployment throws an exception around the one that says why.
    $reason = $_.Exception
    while ($reason.InnerException) { $reason = $reason.InnerException }
    Write-Output ('{0} (HRESULT 0x{1:X8})' -f $reason.Message, $reason.HResult)
    exit 1
}
